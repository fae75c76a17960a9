// The Win32 window's template (win/loader.rc) against the look both windows take: every
// control's identifier, kind, rectangle, caption and visibility, in template order, and the
// dialog's size, font and About item. The Qt window builds its controls from the look itself.
#include "station/window_look.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

// A rectangle as the template writes it.
void PrintTo(const DialogRect& r, std::ostream* os) {
    *os << r.x << ", " << r.y << ", " << r.cx << ", " << r.cy;
}

namespace {

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string Trim(const std::string& s) {
    const std::size_t first = s.find_first_not_of(" \t\r");
    if (first == std::string::npos)
        return {};
    return s.substr(first, s.find_last_not_of(" \t\r") + 1 - first);
}

// A resource statement's comma-separated arguments (a quoted caption keeps its commas).
std::vector<std::string> Arguments(const std::string& s) {
    std::vector<std::string> out(1);
    bool quoted = false;
    for (char c : s) {
        if (c == '"')
            quoted = !quoted;
        if (c == ',' && !quoted)
            out.emplace_back();
        else
            out.back() += c;
    }
    for (std::string& a : out)
        a = Trim(a);
    return out;
}

std::string Unquoted(const std::string& s) {
    return s.size() >= 2 && s.front() == '"' ? s.substr(1, s.size() - 2) : s;
}

// The #defines of a header: name to number.
std::map<std::string, int> Defines(const std::string& text) {
    std::map<std::string, int> out;
    std::istringstream in(text);
    std::string word, name, value;
    for (std::string line; std::getline(in, line);) {
        std::istringstream l(line);
        if (l >> word >> name >> value && word == "#define")
            out[name] = std::stoi(value, nullptr, 0);
    }
    return out;
}

struct TemplateControl {
    std::string keyword, caption, idName, windowClass, styles;
    DialogRect rect;
};

// The statements between BEGIN and END of the dialog `name`, and its header lines.
struct DialogTemplate {
    std::vector<std::string> header;
    std::vector<TemplateControl> controls;
};

DialogTemplate ReadDialog(const std::string& rc, const std::string& name) {
    DialogTemplate d;
    std::istringstream in(rc);
    std::string line;
    while (std::getline(in, line) && Trim(line).rfind(name + " DIALOGEX", 0) != 0) {
    }
    d.header.push_back(Trim(line));
    while (std::getline(in, line) && Trim(line) != "BEGIN")
        d.header.push_back(Trim(line));
    while (std::getline(in, line) && Trim(line) != "END") {
        std::string t = Trim(line);
        const std::size_t space = t.find(' ');
        TemplateControl c;
        c.keyword = t.substr(0, space);
        std::vector<std::string> a = Arguments(t.substr(space + 1));
        auto rectAt = [&](std::size_t i) {
            return DialogRect{std::stoi(a.at(i)), std::stoi(a.at(i + 1)), std::stoi(a.at(i + 2)),
                              std::stoi(a.at(i + 3))};
        };
        if (c.keyword == "CONTROL") {  // "caption", id, "class", styles, x, y, cx, cy
            c.caption = Unquoted(a.at(0));
            c.idName = a.at(1);
            c.windowClass = Unquoted(a.at(2));
            c.styles = a.at(3);
            c.rect = rectAt(4);
        } else if (c.keyword == "EDITTEXT" || c.keyword == "COMBOBOX") {  // id, x, y, cx, cy
            c.idName = a.at(0);
            c.rect = rectAt(1);
            c.styles = a.size() > 5 ? a[5] : "";
        } else {  // "caption", id, x, y, cx, cy[, styles]
            c.caption = Unquoted(a.at(0));
            c.idName = a.at(1);
            c.rect = rectAt(2);
            c.styles = a.size() > 6 ? a[6] : "";
        }
        d.controls.push_back(c);
    }
    return d;
}

// The template's statement for each kind of the look.
bool KindMatches(ControlKind kind, const TemplateControl& c) {
    switch (kind) {
        case ControlKind::kEdit:
            return c.keyword == "EDITTEXT";
        case ControlKind::kComboBox:
            return c.keyword == "COMBOBOX";
        case ControlKind::kGroupBox:
            return c.keyword == "GROUPBOX";
        case ControlKind::kGlyphButton:
        case ControlKind::kLink:
            return c.keyword == "PUSHBUTTON";
        case ControlKind::kText:
        case ControlKind::kLabel:
            return c.keyword == "LTEXT";
        case ControlKind::kCheckBox:
            return c.keyword == "CONTROL" && c.windowClass == "Button" &&
                   c.styles.find("BS_AUTOCHECKBOX") != std::string::npos;
        case ControlKind::kProgress:
            return c.keyword == "CONTROL" && c.windowClass == "msctls_progress32";
        case ControlKind::kLog:
            return c.keyword == "CONTROL" && c.windowClass == "RICHEDIT50W";
    }
    return false;
}

}  // namespace

TEST(WindowLook, TheWin32TemplateHoldsEveryControlOfTheLook) {
    const std::string source = PRAVUNE_SOURCE_DIR;
    const std::string rc = ReadText(source + "/win/loader.rc");
    std::map<std::string, int> ids = Defines(ReadText(source + "/station/window_ids.h"));
    ids["IDC_STATIC"] = -1;
    const DialogTemplate dialog = ReadDialog(rc, "IDD_LOADER_DIALOG");
    ASSERT_FALSE(dialog.header.empty());
    EXPECT_EQ(dialog.header[0], "IDD_LOADER_DIALOG DIALOGEX 0, 0, " +
                                    std::to_string(kLoaderDialog.cx) + ", " +
                                    std::to_string(kLoaderDialog.cy));
    const std::string font = "FONT " + std::to_string(kLoaderDialog.fontPoints) + ", \"" +
                             kLoaderDialog.font + "\", 0, 0, 0x0";
    EXPECT_NE(std::find(dialog.header.begin(), dialog.header.end(), font), dialog.header.end());
    EXPECT_NE(rc.find(std::string("IDS_ABOUTBOX \"") + kAboutMenuText + "\""), std::string::npos);

    const std::span<const ControlLook> look = LoaderControls();
    ASSERT_EQ(dialog.controls.size(), look.size());
    for (std::size_t i = 0; i < look.size(); ++i) {
        const ControlLook& want = look[i];
        const TemplateControl& got = dialog.controls[i];
        SCOPED_TRACE("control " + std::to_string(i) + ": " + got.idName);
        ASSERT_TRUE(ids.count(got.idName));
        EXPECT_EQ(ids[got.idName], want.id);
        EXPECT_TRUE(KindMatches(want.kind, got)) << got.keyword << " " << got.windowClass;
        EXPECT_EQ(got.caption, want.caption);
        DialogRect rect = want.rect;
        if (want.kind == ControlKind::kComboBox)
            rect.cy = want.listHeight;  // the template gives the open list's height
        EXPECT_EQ(got.rect, rect);
        EXPECT_EQ(got.styles.find("NOT WS_VISIBLE") != std::string::npos, want.hidden);
        EXPECT_EQ(got.styles.find("WS_DISABLED") != std::string::npos, want.disabled);
    }
}

// Every identifier the windows address is in the look once, and only edits have a limit.
TEST(WindowLook, EachIdentifierOnceAndOnlyEditsLimited) {
    std::map<int, int> seen;
    for (const ControlLook& c : LoaderControls()) {
        if (c.id != -1)
            ++seen[c.id];
        if (c.maxLength) {
            EXPECT_EQ(c.kind, ControlKind::kEdit) << c.id;
        }
        EXPECT_EQ(c.glyph != nullptr, c.kind == ControlKind::kGlyphButton) << c.id;
        EXPECT_EQ(c.link != nullptr, c.kind == ControlKind::kLink) << c.id;
    }
    const std::map<std::string, int> ids =
        Defines(ReadText(std::string(PRAVUNE_SOURCE_DIR) + "/station/window_ids.h"));
    for (const auto& [name, id] : ids) {
        if (name.rfind("IDC_", 0) == 0) {
            EXPECT_EQ(seen[id], 1) << name;
        }
    }
}
