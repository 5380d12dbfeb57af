// The player's driving keys: the swap rule and the file they last across
// starts in (the test main gives every run a config folder of its own).
#include "platform/dxinput/keyassigns.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

namespace {

void WriteText(const std::filesystem::path& file, const std::string& text)
{
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file, std::ios::trunc) << text;
}

}  // namespace

TEST(KeyAssigns, FileLiesUnderTheXdgConfigFolderElseUnderHome)
{
    const std::string config = std::getenv("XDG_CONFIG_HOME");
    EXPECT_EQ(KeyAssignsPath(), std::filesystem::path(config) / "dunebolt/keys.conf");
    const std::string home = std::getenv("HOME");
    setenv("XDG_CONFIG_HOME", "", 1);
    EXPECT_EQ(KeyAssignsPath(), std::filesystem::path(home) / ".config/dunebolt/keys.conf");
    setenv("XDG_CONFIG_HOME", config.c_str(), 1);
}

TEST(KeyAssigns, AKeyAnotherActionUsesSwapsTheTwo)
{
    TKeyAssigns keys = GameKeyAssigns();
    AssignKey(keys, StateUp, 'W');
    AssignKey(keys, StateLeft, 'W');
    TKeyAssigns expected = GameKeyAssigns();
    expected[StateLeft][0] = 'W';
    expected[StateUp][0] = VK_LEFT;
    EXPECT_EQ(keys, expected);
}

TEST(KeyAssigns, ChosenKeysSurviveARestartAndAMissingFileGivesTheArrowsSilently)
{
    const auto file = KeyAssignsPath();
    std::filesystem::remove(file);
    testing::internal::CaptureStderr();
    EXPECT_EQ(ReadKeyAssigns(file), GameKeyAssigns());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

    TKeyAssigns chosen = GameKeyAssigns();
    AssignKey(chosen, StateUp, 'W');
    AssignKey(chosen, StateDown, VK_NUMPAD0 + 2);
    AssignKey(chosen, StateRight, VK_SPACE);  // also StateButton1's key, which nothing reads
    std::string error;
    ASSERT_TRUE(WriteKeyAssigns(file, chosen, error)) << error;
    EXPECT_EQ(ReadKeyAssigns(file), chosen);
    std::filesystem::remove(file);
}

TEST(KeyAssigns, CorruptFileGivesTheArrowsAndSaysWhy)
{
    const auto file = KeyAssignsPath();
    const std::string rest = "StateDown 0x28\nStateLeft 0x25\nStateRight 0x27\n";
    const std::pair<std::string, std::string> cases[] = {
        {"\x7f\x45LF\x02\x01", "line 1: unknown action"},
        {"# no keys\n", "StateUp is missing"},
        {"StateUp zz\n" + rest, "line 1: \"StateUp zz\" is not an action followed by one key code"},
        {"StateUp 0x100\n" + rest, "from 1 to 255"},
        {"StateUp 87 88\n" + rest, "from 1 to 255"},
        {"StateUp\n" + rest, "from 1 to 255"},
        {"StateUp 0x57\n" + rest + "StateUp 0x58\n", "line 5: StateUp is given twice"},
        {"StateUp 0x25\n" + rest, "StateUp and StateLeft share one key"},
    };
    for (const auto& [text, why] : cases) {
        WriteText(file, text);
        testing::internal::CaptureStderr();
        EXPECT_EQ(ReadKeyAssigns(file), GameKeyAssigns()) << text;
        const std::string said = testing::internal::GetCapturedStderr();
        EXPECT_NE(said.find(file.string() + ": "), std::string::npos) << said;
        EXPECT_NE(said.find(why), std::string::npos) << said;
    }
    std::filesystem::remove(file);
}
