// Dialog 100 as the page shows it: every control of the resource script, in
// its order, with its id, window class, caption, position and style. The
// expectations are read from the script and resource.h in the source tree
// at run time, so the test checks that the dialog the page builds is the one
// the script describes, not a copy of it.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "page_harness.h"
#include "test_filter.h"

namespace {

enum Kind { Label, Line, Slider, Edit, Spin, Check, Button, Combo };

struct ExpectedControl {
    int id;
    Kind kind;
    bool hasCaption;
    std::wstring caption;
    int x, y, cx, cy;
};

// A file of the plug-in's source tree. Under Wine a Unix path is reached
// through drive Z:.
std::string SourcePath(const char* name) {
    std::string root = QUELVIX_PLUGIN_SOURCE_DIR;
    if (!root.empty() && root[0] == '/') root = "Z:" + root;
    return root + "/" + name;
}

std::vector<std::string> ReadLines(const std::string& path) {
    std::ifstream file(path);
    EXPECT_TRUE(file.good()) << "cannot read " << path;
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

std::string Trim(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// "#define NAME VALUE" lines: the control ids in resource.h, the style
// shorthands in the script.
std::map<std::string, std::string> Defines(const std::vector<std::string>& lines) {
    std::map<std::string, std::string> defines;
    for (const std::string& line : lines) {
        std::istringstream in(line);
        std::string directive, name;
        if (!(in >> directive >> name) || directive != "#define") continue;
        std::string value;
        std::getline(in, value);
        defines[name] = Trim(value);
    }
    return defines;
}

// The operands of one statement, split at commas outside quotes; quoted
// ones keep their quotes.
std::vector<std::string> Operands(const std::string& text) {
    std::vector<std::string> operands(1);
    bool quoted = false;
    for (char c : text) {
        if (c == '"') quoted = !quoted;
        if (c == ',' && !quoted) {
            operands.push_back("");
        } else {
            operands.back() += c;
        }
    }
    for (std::string& operand : operands) operand = Trim(operand);
    return operands;
}

std::wstring Unquoted(const std::string& text) {
    std::wstring wide;
    for (size_t i = 1; i + 1 < text.size(); ++i) wide += static_cast<wchar_t>(static_cast<unsigned char>(text[i]));
    return wide;
}

// The dialog's statements as the script has them, resolving ids through
// resource.h and style shorthands through the script's own #defines.
std::vector<ExpectedControl> ScriptControls() {
    const std::vector<std::string> script = ReadLines(SourcePath("QuelvixProxyPlugin.rc"));
    const std::map<std::string, std::string> ids = Defines(ReadLines(SourcePath("src/resource.h")));
    const std::map<std::string, std::string> styles = Defines(script);
    auto id = [&](const std::string& name) {
        auto found = ids.find(name);
        return std::stoi(found == ids.end() ? name : found->second);
    };
    auto style = [&](const std::string& text) {
        std::string expanded;
        std::istringstream in(text);
        for (std::string word; in >> word;) {
            auto found = styles.find(word);
            expanded += " " + (found == styles.end() ? word : found->second);
        }
        return expanded + " ";
    };
    std::vector<ExpectedControl> controls;
    bool inDialog = false, inBody = false;
    for (const std::string& raw : script) {
        const std::string line = Trim(raw);
        if (!inDialog) {
            inDialog = line.rfind("IDD_QUELVIX_PAGE DIALOG", 0) == 0;
            continue;
        }
        if (!inBody) {
            inBody = line == "BEGIN";
            continue;
        }
        if (line == "END") break;
        if (line.empty() || line.rfind("//", 0) == 0) continue;
        const size_t space = line.find(' ');
        const std::string keyword = line.substr(0, space);
        const std::vector<std::string> o = Operands(line.substr(space + 1));
        ExpectedControl c{};
        auto place = [&](size_t first) {
            c.x = std::stoi(o.at(first));
            c.y = std::stoi(o.at(first + 1));
            c.cx = std::stoi(o.at(first + 2));
            c.cy = std::stoi(o.at(first + 3));
        };
        if (keyword == "LTEXT" || keyword == "PUSHBUTTON") {
            c = {id(o.at(1)), keyword == "LTEXT" ? Label : Button, true, Unquoted(o.at(0))};
            place(2);
        } else if (keyword == "EDITTEXT" || keyword == "COMBOBOX") {
            c = {id(o.at(0)), keyword == "EDITTEXT" ? Edit : Combo, false, L""};
            place(1);
        } else if (keyword == "CONTROL") {
            const std::string windowClass = o.at(2);
            const std::string bits = style(o.at(3));
            Kind kind = Label;
            if (windowClass == "\"msctls_trackbar32\"") {
                kind = Slider;
            } else if (windowClass == "\"msctls_updown32\"") {
                kind = Spin;
            } else if (windowClass == "\"Button\"") {
                kind = bits.find(" BS_AUTOCHECKBOX ") != std::string::npos ? Check : Button;
            } else if (windowClass == "\"Static\"") {
                kind = bits.find(" SS_ETCHEDHORZ ") != std::string::npos ? Line : Label;
            } else {
                ADD_FAILURE() << "a control of class " << windowClass << " in: " << line;
            }
            c = {id(o.at(1)), kind, true, Unquoted(o.at(0))};
            place(4);
        } else {
            ADD_FAILURE() << "a statement the test does not read: " << line;
            continue;
        }
        controls.push_back(c);
    }
    EXPECT_FALSE(controls.empty()) << "no dialog IDD_QUELVIX_PAGE in the script";
    return controls;
}

const wchar_t* ClassOf(Kind kind) {
    switch (kind) {
    case Label: case Line: return L"Static";
    case Slider: return L"msctls_trackbar32";
    case Edit: return L"Edit";
    case Spin: return L"msctls_updown32";
    case Check: case Button: return L"Button";
    case Combo: return L"ComboBox";
    }
    return L"";
}

std::vector<HWND> Children(HWND dialog) {
    std::vector<HWND> children;
    for (HWND child = GetWindow(dialog, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        children.push_back(child);
    }
    return children;
}

class DialogLayout : public testing::Test {
protected:
    void SetUp() override {
        filter = new TestFilter;
        ASSERT_EQ(S_OK, filter->Aggregate());
        harness = new PageHarness(filter);
        ASSERT_EQ(S_OK, harness->SetObject());
        ASSERT_EQ(S_OK, harness->Activate());
    }
    void TearDown() override {
        delete harness;
        filter->Release();
    }
    TestFilter* filter = nullptr;
    PageHarness* harness = nullptr;
    const std::vector<ExpectedControl> controls = ScriptControls();
};

}  // namespace

TEST_F(DialogLayout, HasTheScriptsControlsInItsOrder) {
    const std::vector<HWND> children = Children(harness->Dialog());
    ASSERT_EQ(controls.size(), children.size());
    for (size_t i = 0; i < children.size(); ++i) {
        const ExpectedControl& expected = controls[i];
        wchar_t className[64] = {};
        GetClassNameW(children[i], className, 64);
        EXPECT_EQ(0, _wcsicmp(ClassOf(expected.kind), className)) << "control " << i;
        EXPECT_EQ(expected.id, static_cast<int>(static_cast<short>(GetDlgCtrlID(children[i]))))
            << "control " << i;
        if (expected.hasCaption) {
            wchar_t caption[64] = {};
            GetWindowTextW(children[i], caption, 64);
            EXPECT_STREQ(expected.caption.c_str(), caption) << "control " << i;
        }
    }
}

// Up-downs attach themselves to their edit's right edge (UDS_ALIGNRIGHT) and
// narrow the edit, so those two keep only their left/top from the template.
TEST_F(DialogLayout, ControlsSitAtTheirDialogUnitPositions) {
    HWND dialog = harness->Dialog();
    const std::vector<HWND> children = Children(dialog);
    ASSERT_EQ(controls.size(), children.size());
    for (size_t i = 0; i < children.size(); ++i) {
        const ExpectedControl& expected = controls[i];
        if (expected.kind == Spin || expected.kind == Combo) continue;
        // The dialog manager converts position and size separately.
        RECT want = {expected.x, expected.y, expected.cx, expected.cy};
        MapDialogRect(dialog, &want);
        want.right += want.left;
        want.bottom += want.top;
        RECT have;
        GetWindowRect(children[i], &have);
        MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&have), 2);
        EXPECT_EQ(want.left, have.left) << "control " << i;
        EXPECT_EQ(want.top, have.top) << "control " << i;
        // An etched line draws its own 2-pixel edge, whatever its template size.
        const bool buddy = i + 1 < children.size() && controls[i + 1].kind == Spin;
        if (!buddy && expected.kind != Line) {
            EXPECT_EQ(want.right, have.right) << "control " << i;
            EXPECT_EQ(want.bottom, have.bottom) << "control " << i;
        }
    }
}

TEST_F(DialogLayout, StylesMatchTheControlKinds) {
    const std::vector<HWND> children = Children(harness->Dialog());
    ASSERT_EQ(controls.size(), children.size());
    for (size_t i = 0; i < children.size(); ++i) {
        const LONG style = GetWindowLongW(children[i], GWL_STYLE);
        switch (controls[i].kind) {
        case Slider:
            EXPECT_EQ(TBS_NOTICKS, style & TBS_NOTICKS) << i;
            EXPECT_EQ(0, style & TBS_VERT) << i;
            break;
        case Spin:
            EXPECT_EQ(UDS_ALIGNRIGHT | UDS_AUTOBUDDY | UDS_ARROWKEYS,
                      style & (UDS_ALIGNRIGHT | UDS_AUTOBUDDY | UDS_ARROWKEYS)) << i;
            EXPECT_EQ(0, style & UDS_SETBUDDYINT) << i;
            // Its buddy is the edit just before it.
            EXPECT_EQ(children[i - 1],
                      reinterpret_cast<HWND>(SendMessageW(children[i], UDM_GETBUDDY, 0, 0))) << i;
            break;
        case Check:
            EXPECT_EQ(BS_AUTOCHECKBOX, style & BS_TYPEMASK) << i;
            break;
        case Edit:
            EXPECT_EQ(ES_AUTOHSCROLL, style & ES_AUTOHSCROLL) << i;
            // The dialog manager draws a template's WS_BORDER on an edit as a client edge.
            EXPECT_TRUE((style & WS_BORDER) ||
                        (GetWindowLongW(children[i], GWL_EXSTYLE) & WS_EX_CLIENTEDGE)) << i;
            break;
        case Combo:
            EXPECT_EQ(CBS_DROPDOWNLIST, style & 3) << i;
            break;
        case Line:
            EXPECT_EQ(SS_ETCHEDHORZ, style & SS_TYPEMASK) << i;
            break;
        default:
            break;
        }
    }
    const LONG dialogStyle = GetWindowLongW(harness->Dialog(), GWL_STYLE);
    EXPECT_EQ(WS_CHILD, dialogStyle & (WS_CHILD | WS_POPUP));
}

// The two image-size edits are disabled in the template; the Auto boxes are
// disabled until a driver reports the automatic control.
TEST_F(DialogLayout, FullSizeEditsAreDisabled) {
    EXPECT_FALSE(harness->Enabled(238));
    EXPECT_FALSE(harness->Enabled(243));
    EXPECT_FALSE(harness->Enabled(207));
    EXPECT_FALSE(harness->Enabled(208));
}
