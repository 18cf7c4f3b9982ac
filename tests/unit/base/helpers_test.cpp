#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "base/base64.h"
#include "base/text.h"

using namespace dialo;

TEST(Base64, RoundTripsEveryLengthWithoutLineBreaks) {
    // Encoders that wrap at 64 or 76 columns would break stored audio: none may appear.
    Bytes data;
    for (size_t len = 0; len < 4000; len += (len < 10 ? 1 : 397)) {
        data.resize(len);
        for (size_t i = 0; i < len; ++i) data[i] = uint8_t(i * 31 + len);
        std::string text = base64Encode(data);
        EXPECT_EQ(text.size(), (len + 2) / 3 * 4);
        EXPECT_EQ(text.find('\n'), std::string::npos);
        EXPECT_EQ(text.find('\r'), std::string::npos);
        EXPECT_EQ(base64Decode(text), data) << "length " << len;
    }
}

TEST(Base64, KnownVectorsAndGarbage) {
    // RFC 4648 section 10 test vectors.
    const char* plain[] = {"", "f", "fo", "foo", "foob", "fooba", "foobar"};
    const char* coded[] = {"", "Zg==", "Zm8=", "Zm9v", "Zm9vYg==", "Zm9vYmE=", "Zm9vYmFy"};
    for (int i = 0; i < 7; ++i) {
        std::string p = plain[i];
        EXPECT_EQ(base64Encode(reinterpret_cast<const uint8_t*>(p.data()), p.size()), coded[i]);
        Bytes d = base64Decode(coded[i]);
        EXPECT_EQ(std::string(d.begin(), d.end()), p);
    }
    EXPECT_EQ(base64Decode("Zm9v\r\nYmFy"), (Bytes{'f', 'o', 'o', 'b', 'a', 'r'}));
    EXPECT_TRUE(base64Decode("not base64!").empty());
    EXPECT_TRUE(base64Decode("Zm9").empty());        // not whole groups
    EXPECT_TRUE(base64Decode("Z===").empty());       // too much padding
    EXPECT_TRUE(base64Decode("Zg==Zm9v").empty());   // padding in the middle
    EXPECT_TRUE(base64Decode("Zm-_").empty());       // the URL alphabet is not ours
}

TEST(Text, NormalizeHandleGivesTheBareAlias) {
    EXPECT_EQ(normalizeHandle(" @@alice@example.com "), "alice");
    EXPECT_EQ(normalizeHandle("  @Bob.Smith@orvane.test"), "Bob.Smith");  // case kept
    EXPECT_EQ(normalizeHandle("@ @ carol  "), "carol");
    EXPECT_EQ(normalizeHandle("@@@"), "");
    EXPECT_EQ(normalizeHandle(""), "");
    EXPECT_TRUE(sameHandle("Alice", "@alice@orvane.test"));
    EXPECT_FALSE(sameHandle("alice", "alicia"));
}

TEST(Text, FormatMessageTime) {
    setenv("TZ", "UTC", 1);
    tzset();
    EXPECT_EQ(formatMessageTime(0), "time not on the message");
    EXPECT_EQ(formatMessageTime(-5), "time not on the message");
    EXPECT_EQ(formatMessageTime(1796541000), "06 Dec 2026, 07:10");
    EXPECT_EQ(formatMessageTime(1), "01 Jan 1970, 00:00");
}
