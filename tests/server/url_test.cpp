#include <gtest/gtest.h>

#include <map>
#include <string>

#include "updater/HTTPRequest.h"

namespace {

TEST(HTTPRequestBuildURL, AppendsPairsInKeyOrderEachFollowedByAmpersand) {
  using Query = std::map<std::string, std::string>;
  struct Case {
    Query query;
    const char* url;
  };
  const Case cases[] = {
      {{}, "http://h/cgi/u"},
      {{{"sn", "0A1B2C3D"}, {"op", "qu"}}, "http://h/cgi/u?op=qu&sn=0A1B2C3D&"},
      {{{"b", "1"}, {"B", "2"}, {"a", "3"}}, "http://h/cgi/u?B=2&a=3&b=1&"},  // byte-wise key order
      {{{"fw", "2.10 beta"}}, "http://h/cgi/u?fw=2.10 beta&"},             // nothing is encoded
      {{{"fp", "1%202"}}, "http://h/cgi/u?fp=1%202&"},
      {{{"v", "a&b=c"}}, "http://h/cgi/u?v=a&b=c&"},
      {{{"empty", ""}}, "http://h/cgi/u?empty=&"},
  };
  for (const Case& c : cases) EXPECT_EQ(HTTPRequest::BuildURL("http://h/cgi/u", c.query), c.url);
}

TEST(HTTPResponse, AccumulatesTheBodyAsTerminatedText) {
  HTTPResponse response("http://h/cgi/u?op=hi&");
  EXPECT_STREQ(response.get_request(), "http://h/cgi/u?op=hi&");
  EXPECT_EQ(response.get_status(), 0);
  EXPECT_STREQ(response.get_response(), "");
  response.process("ok\n12", 5);
  response.process("34\nignored", 3);
  response.process(nullptr, 0);
  response.set_status(404);
  EXPECT_EQ(response.get_status(), 404);
  EXPECT_STREQ(response.get_response(), "ok\n1234\n");
  EXPECT_EQ(response.get_length(), 8u);
  // Callers may cut the text in place.
  response.get_response()[2] = '\0';
  EXPECT_STREQ(response.get_response(), "ok");
}

}  // namespace
