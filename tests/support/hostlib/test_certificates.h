// Certificates for the TLS tests, made at test time with the openssl tool: a
// CA, a server certificate for 127.0.0.1 and a client certificate signed by
// it, and a second CA that signed nothing of ours (a client of another
// installation). Short-lived EC keys: quick to make.
#pragma once

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <string>

struct WzTestCertificates {
  std::string caCert;
  std::string serverCert;
  std::string serverKey;
  std::string clientCert;
  std::string clientKey;
  std::string otherCaCert;  // with otherClientCert/Key: a client of another CA
  std::string otherClientCert;
  std::string otherClientKey;
};

// Writes them under dir (which must exist); false with the tool's output in
// why when openssl fails.
inline bool MakeWzTestCertificates(const std::string& dir, WzTestCertificates& out, std::string& why) {
  const std::string script =
      "set -e; cd '" + dir +
      "'; key() { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out \"$1\"; }\n"
      "ca() { key $1.key; openssl req -x509 -new -key $1.key -subj /CN=$1 -days 2 -out $1.crt; }\n"
      "leaf() { key $2.key; openssl req -new -key $2.key -subj /CN=$2 -out $2.csr;\n"
      "  printf '%s\\n' \"$3\" > $2.ext;\n"
      "  openssl x509 -req -in $2.csr -CA $1.crt -CAkey $1.key -CAcreateserial -days 2 -extfile $2.ext -out $2.crt; }\n"
      "ca ca; ca other-ca\n"
      "leaf ca server 'subjectAltName=IP:127.0.0.1'\n"
      "leaf ca client 'extendedKeyUsage=clientAuth'\n"
      "leaf other-ca other-client 'extendedKeyUsage=clientAuth'\n";
  const std::string command = "(" + script + ") 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) {
    why = "cannot run openssl";
    return false;
  }
  char buffer[512];
  why.clear();
  while (fgets(buffer, sizeof(buffer), pipe) != nullptr) why += buffer;
  const int status = pclose(pipe);
  if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return false;
  out.caCert = dir + "/ca.crt";
  out.serverCert = dir + "/server.crt";
  out.serverKey = dir + "/server.key";
  out.clientCert = dir + "/client.crt";
  out.clientKey = dir + "/client.key";
  out.otherCaCert = dir + "/other-ca.crt";
  out.otherClientCert = dir + "/other-client.crt";
  out.otherClientKey = dir + "/other-client.key";
  return true;
}
