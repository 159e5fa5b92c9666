// The Win32 panel's in-memory dialog template and its numeric entry filter.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "DialogTemplate.h"
#include "DialogTemplateEx.h"
#include "NumberEdit.h"

// After the project's headers, which declare names that windows.h defines as macros.
#include <windows.h>

namespace {

using varnel::kControllerControls;
using varnel::kControllerDialog;

/// Reads a DLGTEMPLATEEX back field by field, as the dialog manager does.
class TemplateReader {
public:
    explicit TemplateReader(const std::vector<std::uint32_t>& words)
        : m_bytes(reinterpret_cast<const std::uint8_t*>(words.data())), m_size(words.size() * 4) {}

    std::uint16_t Word() { return Read<std::uint16_t>(); }
    std::uint32_t DWord() { return Read<std::uint32_t>(); }
    std::int16_t Short() { return Read<std::int16_t>(); }
    std::uint8_t Byte() { return Read<std::uint8_t>(); }
    std::wstring Text() {
        std::wstring text;
        for (std::uint16_t unit = Word(); unit != 0 && !Overrun(); unit = Word()) {
            text += static_cast<wchar_t>(unit);
        }
        return text;
    }
    void AlignToDWord() { m_at = (m_at + 3) & ~std::size_t{3}; }
    bool Overrun() const { return m_at > m_size; }

private:
    template <typename T>
    T Read() {
        T value{};
        if (m_at + sizeof value <= m_size) {
            std::memcpy(&value, m_bytes + m_at, sizeof value);
        }
        m_at += sizeof value;
        return value;
    }

    const std::uint8_t* m_bytes;
    std::size_t m_size;
    std::size_t m_at = 0;
};

std::wstring Wide(std::string_view utf8) {
    std::wstring wide(utf8.size(), L'\0');
    const int length = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()),
                                             wide.data(), static_cast<int>(wide.size()));
    wide.resize(static_cast<std::size_t>(length));
    return wide;
}

TEST(DialogTemplateEx, CarriesTheDialogAndEveryControlOfTheTable) {
    const auto words = varnel::win32::BuildDialogTemplate(kControllerDialog, kControllerControls);
    TemplateReader in(words);
    EXPECT_EQ(in.Word(), 1);
    EXPECT_EQ(in.Word(), 0xFFFF);
    in.DWord();  // help id
    EXPECT_EQ(in.DWord(), static_cast<std::uint32_t>(WS_EX_APPWINDOW));
    EXPECT_EQ(in.DWord(), static_cast<std::uint32_t>(WS_POPUP | WS_VISIBLE | WS_CAPTION |
                                                     WS_SYSMENU | DS_MODALFRAME | DS_SETFONT));
    ASSERT_EQ(in.Word(), kControllerControls.size());
    EXPECT_EQ(in.Short(), 0);
    EXPECT_EQ(in.Short(), 0);
    EXPECT_EQ(in.Short(), 285);
    EXPECT_EQ(in.Short(), 144);
    EXPECT_EQ(in.Word(), 0);  // menu
    EXPECT_EQ(in.Word(), 0);  // class
    EXPECT_EQ(in.Text(), L"Varnel");
    EXPECT_EQ(in.Word(), 14);
    EXPECT_EQ(in.Word(), 0);  // weight
    EXPECT_EQ(in.Byte(), 0);  // italic
    EXPECT_EQ(in.Byte(), DEFAULT_CHARSET);
    EXPECT_EQ(in.Text(), L"Cambria");

    for (const varnel::ControlTemplate& control : kControllerControls) {
        SCOPED_TRACE(std::string(control.name) + " " + std::string(control.text));
        in.AlignToDWord();
        in.DWord();                 // help id
        EXPECT_EQ(in.DWord(), 0u);  // extended style
        const std::uint32_t style = in.DWord();
        EXPECT_EQ(style | (control.style == varnel::StyleGroup::PortList ? CBS_SORT : 0),
                  varnel::StyleBits(control.style));
        EXPECT_EQ(in.Short(), control.rect.x);
        EXPECT_EQ(in.Short(), control.rect.y);
        EXPECT_EQ(in.Short(), control.rect.width);
        EXPECT_EQ(in.Short(), control.rect.height);
        EXPECT_EQ(static_cast<int>(in.DWord()), control.id);
        EXPECT_EQ(in.Text(), Wide(varnel::win32::WindowClassName(control.kind)));
        EXPECT_EQ(in.Text(), Wide(control.text));
        EXPECT_EQ(in.Word(), 0);  // creation data
    }
    EXPECT_FALSE(in.Overrun());
}

TEST(DialogTemplateEx, PortListNeverSortsAndNothingIsADefaultButton) {
    for (const varnel::ControlTemplate& control : kControllerControls) {
        const std::uint32_t style = varnel::win32::ControlStyle(control);
        if (control.kind == varnel::ControlClass::ComboBox) {
            EXPECT_EQ(style & CBS_SORT, 0u);
            EXPECT_EQ(style & 0x3u, static_cast<std::uint32_t>(CBS_DROPDOWNLIST));
        }
        if (control.kind == varnel::ControlClass::Button) {
            EXPECT_EQ(style & 0xFu, static_cast<std::uint32_t>(BS_PUSHBUTTON)) << control.name;
        }
    }
}

struct FilterRow {
    const char* name;
    unsigned typed;
    const char* text;
    bool accepted;
};

class NumberEditFilter : public ::testing::TestWithParam<FilterRow> {};

TEST_P(NumberEditFilter, DecidesFromTheCharacterAndTheWholeText) {
    const FilterRow& row = GetParam();
    EXPECT_EQ(varnel::win32::AcceptsTypedChar(row.typed, row.text), row.accepted);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, NumberEditFilter,
    ::testing::Values(
        FilterRow{"digit", '7', "12", true}, FilterRow{"backspaceOnLoneMinus", '\b', "-", true},
        FilterRow{"minusIntoEmpty", '-', "", true}, FilterRow{"minusIntoText", '-', "12", false},
        FilterRow{"pointIntoEmpty", '.', "", false}, FilterRow{"pointAfterMinus", '.', "-", true},
        FilterRow{"secondPoint", '.', "12.5", false}, FilterRow{"letter", 'a', "", false},
        FilterRow{"plus", '+', "", false}, FilterRow{"comma", ',', "1", false},
        FilterRow{"carriageReturn", '\r', "1", false}, FilterRow{"tab", '\t', "1", false},
        FilterRow{"fullWidthDigit", 0xFF11, "", false}),
    [](const ::testing::TestParamInfo<FilterRow>& info) { return info.param.name; });

// The filter on a real multi-line EDIT: characters as the control receives them.
TEST(NumberEdit, FiltersCharactersSentToTheControl) {
    HWND edit = ::CreateWindowExW(0, L"EDIT", L"", WS_POPUP | ES_MULTILINE | ES_AUTOHSCROLL, 0, 0,
                                  100, 20, nullptr, nullptr, ::GetModuleHandleW(nullptr), nullptr);
    ASSERT_NE(edit, nullptr);
    ASSERT_TRUE(varnel::win32::AttachNumberEdit(edit));
    for (char c : std::string("x1.2.5-\r")) {
        ::SendMessageW(edit, WM_CHAR, static_cast<WPARAM>(c), 1);
    }
    char text[32] = {};
    ::GetWindowTextA(edit, text, sizeof text);
    EXPECT_STREQ(text, "1.25");
    // Text set by the program is not filtered.
    ::SetWindowTextA(edit, "a-b");
    ::GetWindowTextA(edit, text, sizeof text);
    EXPECT_STREQ(text, "a-b");
    ::DestroyWindow(edit);
}

}  // namespace
