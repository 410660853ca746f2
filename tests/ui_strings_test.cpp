// The Windows program's resource script carries the same texts as the C++ table the
// terminal dialog uses: both languages, every string and every control text.
#include "app/ui_strings.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <sstream>
#include <string>

namespace kdx {
namespace {

std::string ReadSource(const std::string& relative) {
    std::ifstream file(std::string(KDX_SOURCE_DIR) + "/" + relative, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

// A quoted resource-script string at the start of `s`: "" is a quote, \n a line feed.
WText Unquote(std::string_view s) {
    std::string out;
    for (size_t i = 1; i < s.size(); ++i) {
        const bool escaped = s[i] == '\\' && i + 1 < s.size();
        if (s[i] == '"' && (i + 1 == s.size() || s[i + 1] != '"')) break;
        if (s[i] == '"' || escaped) ++i;  // the quote or the escaped character that follows
        out += escaped && s[i] == 'n' ? '\n' : s[i];
    }
    return FromUtf8(out);
}

// The texts of one language of the script: string table entries and control texts by id.
struct ScriptTexts {
    std::map<int32_t, WText> strings;
    std::map<int32_t, WText> controls;
};

std::map<UiLanguage, ScriptTexts> ParseScript() {
    std::map<std::string, int32_t> ids{{"IDOK", 1}, {"IDCANCEL", 2}};
    const std::regex define(R"(#define\s+(\w+)\s+\(?(-?\d+)\)?)");
    std::istringstream header(ReadSource("app/win32/resource.h"));
    for (std::string line; std::getline(header, line);) {
        std::smatch m;
        if (std::regex_search(line, m, define)) ids[m[1]] = std::stoi(m[2]);
    }

    std::map<UiLanguage, ScriptTexts> texts;
    ScriptTexts* current = nullptr;
    enum { Outside, Strings, Dialog } block = Outside;
    const std::regex stringEntry(R"(^\s*(\w+)\s+(".*)$)");
    const std::regex control(R"(^\s*(?:DEFPUSHBUTTON|PUSHBUTTON|LTEXT|CTEXT|RTEXT)\s+(".*?[^"]"|""),\s*(\w+),)");
    std::istringstream script(ReadSource("resources/kdx4610_update.rc"));
    for (std::string line; std::getline(script, line);) {
        std::smatch m;
        if (line.starts_with("LANGUAGE")) {
            current = line.find("LANG_JAPANESE") != std::string::npos  ? &texts[UiLanguage::Japanese]
                      : line.find("LANG_ENGLISH") != std::string::npos ? &texts[UiLanguage::English]
                                                                         : nullptr;
        } else if (line.starts_with("STRINGTABLE")) {
            block = Strings;
        } else if (line.find(" DIALOGEX ") != std::string::npos) {
            block = Dialog;
        } else if (line.starts_with("END")) {
            block = Outside;
        } else if (current != nullptr && block == Strings && std::regex_search(line, m, stringEntry)) {
            current->strings[ids.at(m[1])] = Unquote(m[2].str());
        } else if (current != nullptr && block == Dialog && std::regex_search(line, m, control)) {
            current->controls[ids.at(m[2])] = Unquote(m[1].str());
        }
    }
    return texts;
}

TEST(UiStrings, ResourceScriptHoldsTheTableTextsInBothLanguages) {
    const auto script = ParseScript();
    for (UiLanguage language : {UiLanguage::English, UiLanguage::Japanese}) {
        SCOPED_TRACE(language == UiLanguage::English ? "English" : "Japanese");
        ASSERT_TRUE(script.contains(language));
        const ScriptTexts& texts = script.at(language);
        for (const auto& [found, table] : {std::pair(&texts.strings, StringTableTexts()),
                                           std::pair(&texts.controls, DialogControlTexts())}) {
            ASSERT_EQ(found->size(), table.size());
            for (const UiText& t : table) {
                ASSERT_TRUE(found->contains(t.id)) << t.id;
                EXPECT_EQ(found->at(t.id), t.In(language)) << t.id;
            }
        }
    }
}

}  // namespace
}  // namespace kdx
