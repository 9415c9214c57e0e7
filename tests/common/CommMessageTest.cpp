#include <gtest/gtest.h>

#include "CommMessage.h"

namespace {

CommMessage parsed(std::string_view text) {
    CommMessage m;
    m.parse(text);
    return m;
}

struct FieldLineCase {
    const char* line;
    const char* name;  // nullptr: no field
    const char* value;
};

TEST(CommMessageParse, FieldLines) {
    const FieldLineCase cases[] = {
        {"Method:Open", "Method", "Open"},      {"Method:   Open   ", "Method", "Open"},
        {"Method : Open", "Method ", "Open"},   {"Argument0:", "Argument0", ""},
        {"Argument0: \t ", "Argument0", ""},    {"Method Open", nullptr, nullptr},
        {"method: Open", "method", "Open"},     {":x", "", "x"},
        {"Argument1: a:b", "Argument1", "a:b"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        CommMessage m = parsed(std::string("COMM_PX417/1.0\r\n") + c.line + "\r\n\r\n");
        if (c.name) {
            ASSERT_EQ(m.fields().size(), 1u);
            EXPECT_EQ(m.fields().begin()->first, c.name);
            EXPECT_EQ(m.fields().begin()->second, c.value);
        } else {
            EXPECT_TRUE(m.fields().empty());
        }
    }
}

TEST(CommMessageParse, LfAndCrLfGiveTheSameMessage) {
    CommMessage crlf = parsed("COMM_PX417/1.0 200 OK\r\nArgument0: 5\r\nArgument1: /AUa9Og=\r\n\r\n");
    CommMessage lf = parsed("COMM_PX417/1.0 200 OK\nArgument0: 5\nArgument1: /AUa9Og=\n\n");
    EXPECT_EQ(crlf.startLine(), lf.startLine());
    EXPECT_EQ(crlf.fields(), lf.fields());
    EXPECT_EQ(lf.get("Argument1"), "/AUa9Og=");
}

TEST(CommMessageParse, OnlyOneCrIsTakenOffALine) {
    CommMessage m = parsed("S\r\r\nA: b\r\r\n");
    EXPECT_EQ(m.startLine(), "S\r");
    EXPECT_EQ(m.get("A"), "b");  // the value's own CR goes with the trim
}

TEST(CommMessageParse, FirstOccurrenceWins) {
    CommMessage m = parsed("COMM_PX417/1.0 200 OK\r\nArgument0: 1\r\nArgument0: 2\r\nResultCode: 999\r\n");
    EXPECT_EQ(m.get("Argument0"), "1");
    EXPECT_EQ(m.get("ResultCode"), "200");
}

struct StartLineCase {
    const char* line;
    const char* protocol;
    const char* version;
    const char* code;  // nullptr: no result fields
    const char* reason;
};

TEST(CommMessageParse, StartLines) {
    const StartLineCase cases[] = {
        {"COMM_PX417/1.0 401 Memory Failure", "COMM_PX417", "1.0", "401", "Memory Failure"},
        {"COMM_PX417/1.0 403 Protcol Error", "COMM_PX417", "1.0", "403", "Protcol Error"},
        {"COMM_PX417/1.0 200", "COMM_PX417", "1.0", nullptr, nullptr},
        {"COMM_PX417/1.0", "COMM_PX417", "1.0", nullptr, nullptr},
        {"COMM_PX417/1.0 ", "COMM_PX417", "1.0", nullptr, nullptr},
        {"COMM_PX417 200 OK", "", "", nullptr, nullptr},
        {"a b/c d e", "a b", "c", "d", "e"},
        {"/", "", "", nullptr, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        CommMessage m = parsed(std::string(c.line) + "\r\nMethod: Open\r\n\r\n");
        EXPECT_EQ(m.startLine(), c.line);
        EXPECT_EQ(m.protocol(), c.protocol);
        EXPECT_EQ(m.version(), c.version);
        EXPECT_EQ(m.get("Method"), "Open");
        if (c.code) {
            EXPECT_EQ(m.get("ResultCode"), c.code);
            EXPECT_EQ(m.get("ResultMessage"), c.reason);
            EXPECT_EQ(m.fields().size(), 3u);
        } else {
            EXPECT_EQ(m.fields().size(), 1u);
        }
    }
}

TEST(CommMessageParse, BlankLinesAnywhereAreSkipped) {
    CommMessage m = parsed("\r\n\nCOMM_PX417/1.0\r\n\r\nMethod: Close\r\n\r\nArgument0: x");
    EXPECT_EQ(m.startLine(), "COMM_PX417/1.0");
    EXPECT_EQ(m.get("Method"), "Close");
    EXPECT_EQ(m.get("Argument0"), "x");  // a last line without LF counts
}

TEST(CommMessageParse, NothingButBlankLinesGivesAnEmptyMessage) {
    for (const char* text : {"", "\r\n\r\n", "\n", "\r"}) {
        CommMessage m = parsed(text);
        EXPECT_EQ(m.startLine(), "");
        EXPECT_TRUE(m.fields().empty());
    }
}

TEST(CommMessageParse, AFieldLineFirstIsTakenAsTheStartLine) {
    CommMessage m = parsed("Method: Open\r\nArgument0: COM1\r\n");
    EXPECT_EQ(m.startLine(), "Method: Open");
    EXPECT_EQ(m.get("Method"), "");
    EXPECT_EQ(m.get("Argument0"), "COM1");
}

TEST(CommMessageSerialise, OpenRequestInNameOrder) {
    CommMessage m(px417proto::kRequestLine);
    m["Method"] = "Open";
    m["Argument2"] = "8";
    m["Argument0"] = "COM1";
    m["Argument1"] = "9600";
    EXPECT_EQ(m.serialise(),
              "COMM_PX417/1.0\r\nArgument0: COM1\r\nArgument1: 9600\r\nArgument2: 8\r\nMethod: Open\r\n\r\n");
}

TEST(CommMessageSerialise, EmptyValuesAreLeftOut) {
    CommMessage m(px417proto::kOkLine);
    m["Argument1"] = "";
    (void)m["Argument0"];  // reading an absent field
    m.insert("Method", "x");
    m.insert("Method", "y");
    EXPECT_EQ(m.serialise(), "COMM_PX417/1.0 200 OK\r\nMethod: x\r\n\r\n");
    EXPECT_EQ(CommMessage("S").serialise(), "S\r\n\r\n");
}

TEST(CommMessageSerialise, ParsedResponseShowsItsResultFields) {
    CommMessage m = parsed("COMM_PX417/1.0 401 Memory Failure\r\n\r\n");
    EXPECT_EQ(m.serialise(),
              "COMM_PX417/1.0 401 Memory Failure\r\nResultCode: 401\r\nResultMessage: Memory Failure\r\n\r\n");
}

TEST(CommMessageSerialise, NamesOrderByUnsignedBytesShorterFirst) {
    CommMessage m("S");
    m["b"] = "1";
    m["\xe9"] = "2";
    m["a"] = "3";
    m["ab"] = "4";
    m["B"] = "5";
    EXPECT_EQ(m.serialise(), "S\r\nB: 5\r\na: 3\r\nab: 4\r\nb: 1\r\n\xe9: 2\r\n\r\n");
}

}  // namespace
