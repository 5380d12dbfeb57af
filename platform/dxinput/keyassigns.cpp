#include "platform/dxinput/keyassigns.h"

#include <cstdlib>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>

namespace {

// The names the file gives the driving states, in DrivingStates' order.
constexpr std::array<const char*, 4> StateNames = {"StateUp", "StateDown", "StateLeft", "StateRight"};

std::optional<size_t> DrivingIndexOf(const std::string& name)
{
    for (size_t i = 0; i < StateNames.size(); ++i)
        if (name == StateNames[i]) return i;
    return std::nullopt;
}

// A key code as the file writes it ("0x26", or decimal); 1 … 255, the
// range of the key state table.
std::optional<int32_t> KeyCodeOf(const std::string& text)
{
    try {
        size_t used = 0;
        const long code = std::stol(text, &used, 0);
        if (used == text.size() && code >= 1 && code <= 255) return int32_t(code);
    } catch (const std::exception&) {
    }
    return std::nullopt;
}

// The four keys of the file, or the reason why there are none.
std::optional<std::array<int32_t, 4>> ParseKeys(std::istream& in, std::string& why)
{
    std::array<int32_t, 4> keys{};
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        std::istringstream words(line);
        std::string name, code, extra;
        if (!(words >> name) || name[0] == '#') continue;
        const std::string where = "line " + std::to_string(number) + ": ";
        const auto index = DrivingIndexOf(name);
        if (!index) {
            why = where + "unknown action \"" + name + "\"";
            return std::nullopt;
        }
        words >> code;
        const auto key = KeyCodeOf(code);
        if (!key || (words >> extra)) {
            why = where + "\"" + line + "\" is not an action followed by one key code from 1 to 255";
            return std::nullopt;
        }
        if (keys[*index] != 0) {
            why = where + name + " is given twice";
            return std::nullopt;
        }
        keys[*index] = *key;
    }
    for (size_t i = 0; i < keys.size(); ++i) {
        if (keys[i] == 0) {
            why = std::string(StateNames[i]) + " is missing";
            return std::nullopt;
        }
        for (size_t j = 0; j < i; ++j)
            if (keys[i] == keys[j]) {
                why = std::string(StateNames[j]) + " and " + StateNames[i] + " share one key";
                return std::nullopt;
            }
    }
    return keys;
}

}  // namespace

std::filesystem::path KeyAssignsPath()
{
    const char* config = std::getenv("XDG_CONFIG_HOME");
    std::filesystem::path base;
    if (config && *config)
        base = config;
    else if (const char* home = std::getenv("HOME"))
        base = std::filesystem::path(home) / ".config";
    return base / "dunebolt" / "keys.conf";
}

TKeyAssigns ReadKeyAssigns(const std::filesystem::path& file)
{
    TKeyAssigns assigns = GameKeyAssigns();
    std::error_code missing;
    if (!std::filesystem::exists(file, missing)) return assigns;

    std::ifstream in(file);
    std::string why = "cannot be read";
    const auto keys = in ? ParseKeys(in, why) : std::nullopt;
    if (!keys) {
        std::cerr << file.string() << ": " << why << "; driving with the arrow keys\n";
        return assigns;
    }
    for (size_t i = 0; i < DrivingStates.size(); ++i) assigns[DrivingStates[i]][0] = (*keys)[i];
    return assigns;
}

bool WriteKeyAssigns(const std::filesystem::path& file, const TKeyAssigns& assigns, std::string& error)
{
    std::error_code failed;
    std::filesystem::create_directories(file.parent_path(), failed);
    std::ofstream out(file, std::ios::trunc);
    if (out) {
        out << "# Dunebolt driving keys: an action, then its Windows virtual-key code\n";
        for (size_t i = 0; i < DrivingStates.size(); ++i) {
            std::ostringstream code;
            code << "0x" << std::hex << std::uppercase << assigns[DrivingStates[i]][0];
            out << StateNames[i] << ' ' << code.str() << '\n';
        }
        out.close();
    }
    if (!out) {
        error = file.string() + ": cannot be written" + (failed ? " (" + failed.message() + ")" : std::string());
        return false;
    }
    return true;
}

void AssignKey(TKeyAssigns& assigns, TDXInputState state, int32_t key)
{
    const int32_t old = assigns[state][0];
    for (TDXInputState other : DrivingStates)
        if (other != state && assigns[other][0] == key) assigns[other][0] = old;
    assigns[state][0] = key;
}
