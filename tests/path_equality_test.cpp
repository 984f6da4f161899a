#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "app/path_equality.hpp"
#include "common/long_path.hpp"

namespace debrindle {
namespace {

struct PathCase {
    const char* a;
    const char* b;
    bool equal;
};

void check(PathRules rules, std::initializer_list<PathCase> cases) {
    for (const PathCase& c : cases) {
        EXPECT_EQ(paths_equal(c.a, c.b, rules), c.equal) << '"' << c.a << "\" vs \"" << c.b << '"';
        EXPECT_EQ(paths_equal(c.b, c.a, rules), c.equal) << "symmetry: \"" << c.b << "\" vs \"" << c.a << '"';
        EXPECT_TRUE(paths_equal(c.a, c.a, rules)) << c.a;
    }
}

TEST(PathEquality, WindowsRules) {
    check(PathRules::windows, {
                                  {R"(C:\models\m.gguf)", "C:/models/m.gguf", true},
                                  {R"(C:\models\m.gguf)", R"(C:\models\\m.gguf)", true},
                                  {R"(C:\models\m.gguf)", R"(C:\models\.\m.gguf)", true},
                                  {R"(C:\models\)", R"(C:\models)", true},
                                  {R"(C:\models\m.gguf)", R"(c:\models\m.gguf)", true},
                                  {R"(C:\models\m.gguf)", R"(C:\Models\m.gguf)", false},
                                  {R"(C:\models\m.gguf)", R"(C:models\m.gguf)", false},
                                  {R"(C:\models\m.gguf)", R"(D:\models\m.gguf)", false},
                                  {R"(C:\a\..\m.gguf)", R"(C:\m.gguf)", false},
                                  {R"(C:\a\..\m.gguf)", R"(C:/a/../m.gguf)", true},
                                  {R"(.\m.gguf)", "m.gguf", false},
                                  {R"(.\m.gguf)", "./m.gguf", true},
                                  {R"(.\m.gguf)", R"(.\.\m.gguf)", true},
                                  {R"(C:.\m.gguf)", R"(C:m.gguf)", false},
                                  {R"(\m.gguf)", "m.gguf", false},
                                  {R"(\m.gguf)", "/m.gguf", true},
                                  {R"(a\b)", "a/b", true},
                                  {"", ".", false},
                                  {"", "", true},
                                  {R"(\\server\share\m.gguf)", "//server/share/m.gguf", true},
                                  {R"(\\server\share\m.gguf)", R"(\\SERVER\share\m.gguf)", false},
                                  {R"(\\?\C:\m.gguf)", R"(\\?\c:\m.gguf)", true},
                                  {R"(\\?\C:\a\m.gguf)", R"(\\?\C:\a/m.gguf)", false},  // only "\" separates there
                                  {R"(\\?\C:\m.gguf)", R"(C:\m.gguf)", false},
                                  {R"(\\.\pipe\x)", R"(\\.\pipe\x)", true},
                              });
}

TEST(PathEquality, PosixRules) {
    check(PathRules::posix, {
                                {"/models/m.gguf", "/models//m.gguf", true},
                                {"/models/m.gguf", "/models/./m.gguf", true},
                                {"/models/m.gguf", "/models/m.gguf/", true},
                                {"/models/m.gguf", "//models/m.gguf", true},
                                {"/models/m.gguf", "/Models/m.gguf", false},
                                {"/models/m.gguf", "models/m.gguf", false},
                                {"/a/../m.gguf", "/m.gguf", false},
                                {"./m.gguf", "m.gguf", false},
                                {"./m.gguf", "././m.gguf", true},
                                {"a/b", R"(a\b)", false},
                                {"", ".", false},
                            });
}

// What the Windows build hands the engine after GetFullPathNameW.
TEST(WindowsLongPath, OnlyLongFullPathsBecomeVerbatim) {
    const std::string name(250, 'f');
    std::string emoji;  // 250 UTF-16 units in 500 bytes
    for (int i = 0; i < 125; ++i) emoji += "\xF0\x9F\x98\x80";
    const std::pair<std::string, std::optional<std::string>> cases[] = {
        {R"(C:\)" + name + R"(\m.gguf)", R"(\\?\C:\)" + name + R"(\m.gguf)"},  // 260 units
        {R"(C:\)" + name + R"(\m.ggu)", std::nullopt},                         // 259
        {R"(C:\)" + emoji + R"(\m.gguf)", R"(\\?\C:\)" + emoji + R"(\m.gguf)"},
        {R"(\\server\share\)" + name, R"(\\?\UNC\server\share\)" + name},
        {name + R"(\)" + name, std::nullopt},
        {R"(\\?\C:\)" + name + R"(\)" + name, std::nullopt},
    };
    for (const auto& [path, form] : cases) EXPECT_EQ(long_path_form(path), form) << path;
}

}  // namespace
}  // namespace debrindle
