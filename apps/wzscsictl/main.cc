// wzscsictl: the command-line client of wzscsid (apps/wzscsictl/ctl_cli.h).
#include <csignal>
#include <exception>
#include <iostream>

#include "apps/wzscsictl/ctl_cli.h"
#include "apps/wzscsictl/ctl_lib.h"

int main(int argc, char** argv) {
  // A daemon that goes away while we write must give an exit status, not a
  // signal death.
  std::signal(SIGPIPE, SIG_IGN);
  try {
    return WzCtl::RunCtl(argc, argv, std::cout, std::cerr, std::cin);
  } catch (const std::exception& e) {
    std::cerr << "wzscsictl: " << e.what() << "\n";
    return WzCtl::kExitFailed;
  }
}
