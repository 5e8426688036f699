// How dochost reads the text of an execute.
#include "command_parser.h"

#include <gtest/gtest.h>

namespace {

std::vector<ParsedCommand> Parse(std::string_view text)
{
    std::vector<ParsedCommand> commands;
    std::string error;
    EXPECT_TRUE(ParseExecute(text, commands, error)) << text << ": " << error;
    return commands;
}

std::string Error(std::string_view text)
{
    std::vector<ParsedCommand> commands;
    std::string error;
    EXPECT_FALSE(ParseExecute(text, commands, error)) << text;
    return error;
}

TEST(CommandParser, ReadsTheFormsDocjoinSends)
{
    auto c = Parse("[DocInsertPages(\"/a b/out.pdf\",PDLastPage,\"/x/b.gif.pdf\")]");
    ASSERT_EQ(c.size(), 1u);
    EXPECT_EQ(c[0].name, "DocInsertPages");
    ASSERT_EQ(c[0].arguments.size(), 3u);
    EXPECT_EQ(c[0].arguments[0].kind, Argument::Quoted);
    EXPECT_EQ(c[0].arguments[0].text, "/a b/out.pdf");
    EXPECT_EQ(c[0].arguments[1].kind, Argument::Word);
    EXPECT_EQ(c[0].arguments[1].text, "PDLastPage");
    EXPECT_EQ(c[0].arguments[2].text, "/x/b.gif.pdf");
}

TEST(CommandParser, WhiteSpaceLineEndsSeveralCommandsAndNumbers)
{
    auto c = Parse("  [ DocDeletePages ( \"/a\" , 0 , -2 ) ]\r\n\t[CloseAllDocs()][AppExit]\n");
    ASSERT_EQ(c.size(), 3u);
    EXPECT_EQ(c[0].arguments[1].number, 0);
    EXPECT_EQ(c[0].arguments[2].kind, Argument::Number);
    EXPECT_EQ(c[0].arguments[2].number, -2);
    EXPECT_EQ(c[1].name, "CloseAllDocs");
    EXPECT_TRUE(c[1].arguments.empty());
    EXPECT_EQ(c[2].name, "AppExit");
    EXPECT_TRUE(Parse("").empty());
    EXPECT_TRUE(Parse("\n").empty());
}

TEST(CommandParser, DoubledQuotesStandForOneAndBracketsInsideQuotesAreText)
{
    auto c = Parse("[DocOpen(\"/a \"\"quoted\"\" [name], (x).pdf\")]");
    ASSERT_EQ(c.size(), 1u);
    EXPECT_EQ(c[0].arguments[0].text, "/a \"quoted\" [name], (x).pdf");
    EXPECT_EQ(DescribeCommand(c[0]), "DocOpen(\"/a \"quoted\" [name], (x).pdf\")");
    EXPECT_EQ(Parse("[DocOpen(\"\")]")[0].arguments[0].text, "");
}

TEST(CommandParser, MalformedTextIsRefusedWithTheReason)
{
    EXPECT_EQ(Error("DocOpen(\"/a\")"), "'[' was expected at character 1");
    EXPECT_EQ(Error("[DocOpen(\"/a)]"), "a quoted argument is not closed at character 15");
    EXPECT_EQ(Error("[DocOpen(\"/a\")"), "']' was expected at character 15");
    EXPECT_EQ(Error("[DocOpen(\"/a\"]"), "',' or ')' was expected at character 14");
    EXPECT_EQ(Error("[]"), "a command name was expected at character 2");
    EXPECT_EQ(Error("[[DocOpen]]"), "a command name was expected at character 2");
    EXPECT_EQ(Error("[DocOpen(,)]"), "an argument was expected at character 10");
    EXPECT_EQ(Error("[DocOpen(\"/a\",)]"), "an argument was expected at character 15");
    EXPECT_EQ(Error("[DocOpen] trailing"), "'[' was expected at character 11");
    EXPECT_EQ(Error("[X(99999999999999999999)]"), "a number is too large at character 24");
    EXPECT_EQ(Error(std::string_view("[X]\0", 4)), "'[' was expected at character 4");
}

TEST(CommandParser, DeepOrEndlessInputIsReadWithoutRecursion)
{
    std::string deep(100000, '[');
    EXPECT_EQ(Error(deep), "a command name was expected at character 2");
    std::string many;
    for (int i = 0; i < 5000; ++i)
        many += "[CloseAllDocs()]";
    EXPECT_EQ(Parse(many).size(), 5000u);
}

} // namespace
