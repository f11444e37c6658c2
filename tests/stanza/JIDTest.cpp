#include <gtest/gtest.h>

#include "stanza/JID.h"
#include "stanza/Numbers.h"

using tern::JID;

TEST(JID, ParsesThePartsAndBuildsBareAndFull) {
    struct Case {
        const char* text;
        const char* user;
        const char* server;
        const char* resource;
        const char* bare;
        const char* full;
    };
    const Case cases[] = {
        {"user@host/res", "user", "host", "res", "user@host", "user@host/res"},
        {"host", "", "host", "", "host", "host"},
        {"host/res", "", "host", "res", "host", "host/res"},
        {"user@host", "user", "host", "", "user@host", "user@host"},
        {"", "", "", "", "", ""},
        // The resource starts at the first "/": an "@" after it is resource text.
        {"example.com/phone@home", "", "example.com", "phone@home", "example.com",
         "example.com/phone@home"},
        {"a@b/c/d@e", "a", "b", "c/d@e", "a@b", "a@b/c/d@e"},
        {"@host", "", "host", "", "host", "host"},
        {"user@", "user", "", "", "user@", "user@"},
        {"/res", "", "", "res", "", "/res"},
        {"Room@Conference.Example/Nick", "Room", "Conference.Example", "Nick",
         "Room@Conference.Example", "Room@Conference.Example/Nick"},  // no normalisation
    };
    for (const Case& c : cases) {
        const JID j(c.text);
        EXPECT_EQ(j.username(), c.user) << c.text;
        EXPECT_EQ(j.server(), c.server) << c.text;
        EXPECT_EQ(j.serverRaw(), c.server) << c.text;
        EXPECT_EQ(j.resource(), c.resource) << c.text;
        EXPECT_EQ(j.bare(), c.bare) << c.text;
        EXPECT_EQ(j.full(), c.full) << c.text;
    }
}

TEST(JID, AssignReplacesEveryFieldAndSettersRebuild) {
    JID j("user@host/res");
    j.assign("other");
    EXPECT_EQ(j.full(), "other");
    EXPECT_EQ(j.username(), "");
    j.assign("u@h");
    j.setResource("r");
    EXPECT_EQ(j.full(), "u@h/r");
    j.setServer("x");
    EXPECT_EQ(j.full(), "u@x/r");
    EXPECT_EQ(j.bare(), "u@x");
    EXPECT_TRUE(JID("a@b/c") == JID("a@b/c"));
    EXPECT_TRUE(JID("a@b/c") != JID("a@b"));
}

TEST(Numbers, DecimalsReadLenientlyAndSaturate) {
    using tern::parseDecimal;
    EXPECT_EQ(parseDecimal("5", -128, 127), 5);
    EXPECT_EQ(parseDecimal("  -12xyz", -128, 127), -12);
    EXPECT_EQ(parseDecimal("+7", -128, 127), 7);
    EXPECT_EQ(parseDecimal("abc", -128, 127), 0);
    EXPECT_EQ(parseDecimal("", -128, 127), 0);
    EXPECT_EQ(parseDecimal("-", -128, 127), 0);
    EXPECT_EQ(parseDecimal("300", -128, 127), 127);
    EXPECT_EQ(parseDecimal("-300", -128, 127), -128);
    EXPECT_EQ(parseDecimal(std::string(10000, '9'), -128, 127), 127);
    EXPECT_EQ(parseDecimal("-" + std::string(10000, '9'), INT32_MIN, INT32_MAX), INT32_MIN);
    EXPECT_EQ(parseDecimal("2147483648", INT32_MIN, INT32_MAX), INT32_MAX);
    EXPECT_EQ(parseDecimal("\t\n 42", INT32_MIN, INT32_MAX), 42);
}
