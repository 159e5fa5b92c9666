#include "DialogTemplateEx.h"

#include <cstring>
#include <string>
#include <string_view>

// After the project's headers, which declare names that windows.h defines as macros.
#include <windows.h>

namespace varnel::win32 {
namespace {

constexpr std::uint32_t kComboSort = 0x0100;  // CBS_SORT

/// Appends the fields of a dialog template in its byte layout: little-endian words and double
/// words, UTF-16 strings with their terminating zero, items aligned to double words.
class TemplateWriter {
public:
    void Word(std::uint16_t value) { Raw(&value, sizeof value); }
    void DWord(std::uint32_t value) { Raw(&value, sizeof value); }
    void Byte(std::uint8_t value) { m_bytes.push_back(value); }
    void Short(int value) { Word(static_cast<std::uint16_t>(static_cast<std::int16_t>(value))); }
    void Text(std::string_view utf8) {
        if (!utf8.empty()) {
            const int size = static_cast<int>(utf8.size());
            const int length = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, nullptr, 0);
            std::wstring wide(static_cast<std::size_t>(length), L'\0');
            ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, wide.data(), length);
            for (wchar_t unit : wide) {
                Word(static_cast<std::uint16_t>(unit));
            }
        }
        Word(0);
    }
    void AlignToDWord() {
        while (m_bytes.size() % 4 != 0) {
            m_bytes.push_back(0);
        }
    }
    std::vector<std::uint32_t> Finish() {
        AlignToDWord();
        std::vector<std::uint32_t> words(m_bytes.size() / 4);
        std::memcpy(words.data(), m_bytes.data(), m_bytes.size());
        return words;
    }

private:
    void Raw(const void* data, std::size_t size) {
        const auto* bytes = static_cast<const std::uint8_t*>(data);
        m_bytes.insert(m_bytes.end(), bytes, bytes + size);
    }

    std::vector<std::uint8_t> m_bytes;
};

}  // namespace

const char* WindowClassName(ControlClass kind) {
    switch (kind) {
        case ControlClass::Button:
            return "Button";
        case ControlClass::Edit:
            return "Edit";
        case ControlClass::Static:
            return "Static";
        case ControlClass::ComboBox:
            return "ComboBox";
        case ControlClass::Trackbar:
            return "msctls_trackbar32";
    }
    return "Static";
}

std::uint32_t ControlStyle(const ControlTemplate& control) {
    const std::uint32_t bits = StyleBits(control.style);
    return control.style == StyleGroup::PortList ? bits & ~kComboSort : bits;
}

std::vector<std::uint32_t> BuildDialogTemplate(const DialogTemplate& dialog,
                                               std::span<const ControlTemplate> controls) {
    TemplateWriter out;
    out.Word(1);       // dlgVer
    out.Word(0xFFFF);  // signature: extended template
    out.DWord(0);      // helpID
    out.DWord(kDialogExStyle);
    out.DWord(kDialogStyle);
    out.Word(static_cast<std::uint16_t>(controls.size()));
    out.Short(0);  // x
    out.Short(0);  // y
    out.Short(dialog.width);
    out.Short(dialog.height);
    out.Word(0);  // no menu
    out.Word(0);  // the dialog manager's own window class
    out.Text(dialog.caption);
    out.Word(static_cast<std::uint16_t>(dialog.fontPointSize));
    out.Word(0);  // weight: normal
    out.Byte(0);  // not italic
    out.Byte(DEFAULT_CHARSET);
    out.Text(dialog.fontFace);

    for (const ControlTemplate& control : controls) {
        out.AlignToDWord();
        out.DWord(0);  // helpID
        out.DWord(0);  // exStyle
        out.DWord(ControlStyle(control));
        out.Short(control.rect.x);
        out.Short(control.rect.y);
        out.Short(control.rect.width);
        out.Short(control.rect.height);
        out.DWord(static_cast<std::uint32_t>(control.id));
        out.Text(WindowClassName(control.kind));
        out.Text(control.text);
        out.Word(0);  // no creation data
    }
    return out.Finish();
}

}  // namespace varnel::win32
