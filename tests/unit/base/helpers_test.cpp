#include <gtest/gtest.h>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include "base/base64.h"
#include "base/json_fields.h"
#include "base/text.h"

using namespace dialo;

TEST(Base64, RoundTripsUnwrappedMatchesTheStandardAndRefusesGarbage) {
    // Encoders that wrap at 64 or 76 columns would break stored audio.
    Bytes data(4000);
    for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 31);
    EXPECT_EQ(base64Encode(data).find_first_of("\r\n"), std::string::npos);
    EXPECT_EQ(base64Decode(base64Encode(data)), data);
    // RFC 4648 section 10 test vectors.
    const char* vectors[][2] = {{"", ""},          {"f", "Zg=="},         {"fo", "Zm8="},    {"foo", "Zm9v"},
                                {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}};
    for (const auto& [plain, coded] : vectors) {
        EXPECT_EQ(base64Encode(reinterpret_cast<const uint8_t*>(plain), std::strlen(plain)), coded);
        Bytes d = base64Decode(coded);
        EXPECT_EQ(std::string(d.begin(), d.end()), plain);
    }
    EXPECT_EQ(base64Decode("Zm9v\r\nYmFy"), (Bytes{'f', 'o', 'o', 'b', 'a', 'r'}));
    // Not base64, not whole groups, too much padding, padding in the middle, the URL alphabet.
    for (const char* bad : {"not base64!", "Zm9", "Z===", "Zg==Zm9v", "Zm-_"}) EXPECT_TRUE(base64Decode(bad).empty()) << bad;
}

TEST(Text, HandlesAndMessageTimes) {
    const char* handles[][2] = {{" @@alice@example.com ", "alice"}, {"  @Bob.Smith@orvane.test", "Bob.Smith"},
                                {"@ @ carol  ", "carol"}, {"@@@", ""}};
    for (const auto& [typed, bare] : handles) EXPECT_EQ(normalizeHandle(typed), bare) << typed;
    EXPECT_TRUE(sameHandle("Alice", "@alice@orvane.test"));
    EXPECT_FALSE(sameHandle("alice", "alicia"));
    setenv("TZ", "UTC", 1);
    tzset();
    EXPECT_EQ(formatMessageTime(-5), "time not on the message");
    EXPECT_EQ(formatMessageTime(1796541000), "06 Dec 2026, 07:10");
}

TEST(Text, DecimalsAreDigitsOnlyUpToTheirWidth) {
    struct Case {
        const char* text;
        size_t digits;
        bool ok;
        int64_t value;
    };
    const Case cases[] = {{"0042", 4, true, 42}, {"12345", 4, false, 0}, {"", 4, false, 0},  {"-1", 4, false, 0},
                          {"+1", 4, false, 0},   {" 1", 4, false, 0},    {"1x", 4, false, 0},
                          {"999999999999999999", 18, true, 999999999999999999}, {"99999999999999999999", 20, false, 0}};
    for (const Case& c : cases) {
        int64_t out = 0;
        EXPECT_EQ(readDecimal(c.text, c.digits, out), c.ok) << c.text;
        EXPECT_EQ(c.ok ? out : 0, c.value) << c.text;
    }
}

TEST(JsonDepth, NestingIsCountedOutsideStringsUpToTheLimit) {
    const std::string hundred = std::string(100, '[') + std::string(100, ']');
    EXPECT_TRUE(json_depth_within(hundred));
    EXPECT_FALSE(json_depth_within("[" + hundred + "]"));
    EXPECT_TRUE(json_depth_within(R"({"a":[{"b":[]}],"c":{}})", 4) && !json_depth_within(R"({"a":[{"b":[]}],"c":{}})", 3));
    // Brackets inside strings, escaped quotes included, are text.
    EXPECT_TRUE(json_depth_within(R"(["[[[[", "\"[[[[\"", "{{"])", 1));
    // A stray closing bracket does not buy depth for what follows.
    EXPECT_FALSE(json_depth_within("]]]][[[", 2));
}
