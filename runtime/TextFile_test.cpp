// Line ends of other editors and file content shown in messages.
#include "TextFile.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<std::string> Lines(std::string_view text) {
    std::vector<std::string> lines;
    for (const std::string_view line : Vy::SplitLines(text)) lines.emplace_back(line);
    return lines;
}

TEST(TextFileTest, LfCrLfAndLoneCrEachEndOneLine) {
    using L = std::vector<std::string>;
    EXPECT_EQ(Lines("a\nb\n"), (L{"a", "b"}));
    EXPECT_EQ(Lines("a\r\nb\r\n"), (L{"a", "b"}));
    EXPECT_EQ(Lines("a\rb\r"), (L{"a", "b"}));
    EXPECT_EQ(Lines("a\r\n\r\nb"), (L{"a", "", "b"}));
    EXPECT_EQ(Lines("a\n\rb"), (L{"a", "", "b"})) << "LF then CR are two ends";
    EXPECT_EQ(Lines("\n"), (L{""}));
    EXPECT_EQ(Lines(""), L{});
}

TEST(TextFileTest, QuotedTextEscapesWhatATerminalWouldObeyAndIsCut) {
    EXPECT_EQ(Vy::QuoteText("12.5 ms"), "'12.5 ms'");
    EXPECT_EQ(Vy::QuoteText(std::string("a\0b", 3)), "'a\\x00b'");
    EXPECT_EQ(Vy::QuoteText("\x1b[31mred\t\r\n"), "'\\x1b[31mred\\t\\r\\n'");
    // Printable UTF-8 stays readable; a stray byte, a cut sequence and the C1 controls (CSI 0x9b) do not.
    EXPECT_EQ(Vy::QuoteText("Stra\xc3\x9f"
                            "e \xe2\x82\xac"),
              "'Stra\xc3\x9f"
              "e \xe2\x82\xac'");
    EXPECT_EQ(Vy::QuoteText("\xff\xc3"), "'\\xff\\xc3'");
    EXPECT_EQ(Vy::QuoteText("\xc2\x9b"), "'\\xc2\\x9b'");
    EXPECT_EQ(Vy::QuoteText(std::string(100, 'x'), 10), "'xxxxxxxxxx'...");
    EXPECT_EQ(Vy::QuoteText(std::string(10, 'x'), 10), "'xxxxxxxxxx'");
}

}  // namespace
