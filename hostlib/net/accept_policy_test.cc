#include "hostlib/net/accept_policy.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

namespace {

TEST(TokensEqual, MatchesOnlyTheWholeToken) {
  EXPECT_TRUE(Wzn::TokensEqual("s3cret", "s3cret"));
  EXPECT_FALSE(Wzn::TokensEqual("s3cret", "s3cre"));
  EXPECT_FALSE(Wzn::TokensEqual("s3cret", "s3crets"));
  EXPECT_FALSE(Wzn::TokensEqual("s3cret", "s3cres"));
  EXPECT_FALSE(Wzn::TokensEqual("s3cret", "s3crets3cret")) << "a repetition of the token is not the token";
  EXPECT_FALSE(Wzn::TokensEqual("s3cret", ""));
  EXPECT_FALSE(Wzn::TokensEqual("", "")) << "no configured token matches nothing";
}

TEST(ParseHostPort, AcceptsTheDocumentedForms) {
  struct Case {
    const char* text;
    const char* host;
    uint16_t port;
  };
  for (const Case& c :
       {Case{"10.0.0.5:3260", "10.0.0.5", 3260}, Case{":4000", "127.0.0.1", 4000}, Case{"4000", "127.0.0.1", 4000},
        Case{"[::1]:65535", "::1", 65535}, Case{"localhost:0", "localhost", 0}}) {
    std::string host;
    uint16_t port = 1;
    ASSERT_FALSE(Wzn::ParseHostPort(c.text, host, port)) << c.text;
    EXPECT_EQ(host, c.host) << c.text;
    EXPECT_EQ(port, c.port) << c.text;
  }
  for (const char* bad : {"", "host:", "host:65536", "host:-1", "host:12a", "::1:80", "[::1]80", "[::1"}) {
    std::string host;
    uint16_t port = 0;
    EXPECT_TRUE(Wzn::ParseHostPort(bad, host, port).IsError()) << bad;
  }
}

TEST(SystemdListenFd, TakesFdThreeOnlyWhenTheSocketsAreOurs) {
  int fd = -1;
  ASSERT_FALSE(Wzn::SystemdListenFd("1234", "1", 1234, fd));
  EXPECT_EQ(fd, 3);
  EXPECT_FALSE(Wzn::SystemdListenFd("1234", "2", 1234, fd)) << "the first of several";
  EXPECT_TRUE(Wzn::SystemdListenFd("1235", "1", 1234, fd).IsError()) << "meant for another process";
  EXPECT_TRUE(Wzn::SystemdListenFd("1234", "0", 1234, fd).IsError());
  EXPECT_TRUE(Wzn::SystemdListenFd(nullptr, "1", 1234, fd).IsError());
  EXPECT_TRUE(Wzn::SystemdListenFd("1234", nullptr, 1234, fd).IsError());
  EXPECT_TRUE(Wzn::SystemdListenFd("12x4", "1", 1234, fd).IsError());
}

TEST(PeerAllowed, OwnUidRootAndGroupMembersPass) {
  const uid_t self = 4242;
  Wzn::PeerCredentials peer;
  peer.uid = 0;
  EXPECT_TRUE(Wzn::PeerAllowed(peer, self, false, 0));
  peer.uid = self;
  peer.gid = 9999;
  EXPECT_TRUE(Wzn::PeerAllowed(peer, self, false, 0));
  peer.uid = 4343;
  EXPECT_FALSE(Wzn::PeerAllowed(peer, self, false, 0));
  EXPECT_FALSE(Wzn::PeerAllowed(peer, self, true, 7777));
  EXPECT_TRUE(Wzn::PeerAllowed(peer, self, true, 9999)) << "the peer's own group";

  // Membership through the user database, which SO_PEERCRED does not show.
  struct passwd* nobody = getpwnam("nobody");
  if (nobody == nullptr) GTEST_SKIP() << "no user nobody here";
  peer.uid = nobody->pw_uid;
  peer.gid = 31337;
  EXPECT_TRUE(Wzn::PeerAllowed(peer, self, true, nobody->pw_gid));
}

TEST(LookupGroup, FindsKnownGroupsOnly) {
  gid_t gid = 99;
  ASSERT_FALSE(Wzn::LookupGroup("root", gid));
  EXPECT_EQ(gid, 0u);
  CRnError err = Wzn::LookupGroup("no-such-group-wz", gid);
  EXPECT_EQ(err.GetCode(), HRESULT_FROM_WIN32(Wzn::kErrNotFound));
}

}  // namespace
