#include "identity.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(EncodeBase64, Rfc4648Vectors) {
  const std::pair<std::string, std::string> cases[] = {
      {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
      // The two characters that differ from the URL alphabet.
      {"\xfb\xff\xbf", "+/+/"},
  };
  for (const auto& [in, want] : cases) EXPECT_EQ(encodeBase64(in), want) << "input " << in;
}

TEST(ClusterSecretContent, FirstFortyCharactersOfTheEncoding) {
  // 40 bytes encode to 56 characters ending in "=="; the secret keeps 40.
  const std::string bytes = "0123456789012345678901234567890123456789";
  const std::string content = clusterSecretContent(bytes);
  EXPECT_EQ(content,
            "# This is a shared secret that TRUV peers use for secure communication\n"
            "cluster.secret=MDEyMzQ1Njc4OTAxMjM0NTY3ODkwMTIzNDU2Nzg5\n");
  EXPECT_EQ(content.size(), 127u);
}

TEST(ClusterSecretContent, HighBytesStayInTheStandardAlphabet) {
  const std::string content = clusterSecretContent(std::string(40, '\xff'));
  EXPECT_EQ(content.substr(content.find('=') + 1), std::string(40, '/') + "\n");
}

}  // namespace
