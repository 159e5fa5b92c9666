// The panel's dialog template as data: caption, size and font of the dialog, and its 26
// controls in template order (creation order and Tab order), with positions in dialog units.
// The window builds itself from this table; nothing here depends on a toolkit.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "ControlIds.h"

namespace varnel {

/// The kind of window a template entry creates.
enum class ControlClass {
    Button,    ///< push button
    Edit,      ///< numeric entry field
    Static,    ///< fixed text: a label or a readout, told apart by its style group
    ComboBox,  ///< drop-down port list
    Trackbar,  ///< horizontal slider with tick marks below
};

/// The style groups the controls share.
enum class StyleGroup {
    PushButton,  ///< tab stop, never a default button
    EntryField,  ///< bordered, tab stop, centred text, scrolls sideways
    Label,       ///< left-aligned text that wraps at word breaks
    Readout,     ///< text centred both ways inside a thin border
    Trackbar,    ///< tab stop, horizontal, ticks below, no automatic ticks
    PortList,    ///< tab stop, drop-down list with a vertical scroll bar, never sorted
};

/// The window-style bits of each group, as the template records them.
constexpr std::uint32_t StyleBits(StyleGroup group) {
    switch (group) {
        case StyleGroup::PushButton:
            return 0x50010000;
        case StyleGroup::EntryField:
            return 0x50810085;
        case StyleGroup::Label:
            return 0x50020000;
        case StyleGroup::Readout:
            return 0x50820201;
        case StyleGroup::Trackbar:
            return 0x50010000;
        case StyleGroup::PortList:
            return 0x50210103;
    }
    return 0;
}

/// A rectangle in dialog units: x and width in quarters of the average character width,
/// y and height in eighths of the character height.
struct DluRect {
    int x;       ///< left edge
    int y;       ///< top edge
    int width;   ///< width
    int height;  ///< height; for the port list, the height of its dropped-down list
};

/// One control of the template.
struct ControlTemplate {
    int id;                 ///< control id (IDC_*), IDC_STATIC for labels
    std::string_view name;  ///< the id's name, also the widget's object name
    ControlClass kind;      ///< what to create
    std::string_view text;  ///< initial text; "\n" breaks a line
    DluRect rect;           ///< position and size in dialog units
    StyleGroup style;       ///< style group
};

/// The dialog itself.
struct DialogTemplate {
    int id;                     ///< IDD_CONTROLLER_DIALOG
    std::string_view caption;   ///< window title
    int width;                  ///< client width in dialog units
    int height;                 ///< client height in dialog units
    std::string_view fontFace;  ///< dialog font family
    int fontPointSize;          ///< dialog font size in points
};

inline constexpr DialogTemplate kControllerDialog{
    IDD_CONTROLLER_DIALOG, "Varnel", 285, 144, "Cambria", 14,
};

inline constexpr int kControlCount = 26;

// The step buttons read U+300A and U+300B, written as UTF-8.
inline constexpr std::string_view kStepDownText = "\xE3\x80\x8A";
inline constexpr std::string_view kStepUpText = "\xE3\x80\x8B";

/// The controls in template order; this order is the creation and Tab order.
inline constexpr std::array<ControlTemplate, kControlCount> kControllerControls{{
    {IDC_BTN_OPENPORT,
     "IDC_BTN_OPENPORT",
     ControlClass::Button,
     "OpenPort",
     {109, 9, 47, 15},
     StyleGroup::PushButton},
    {IDC_BTN_SETPOWER,
     "IDC_BTN_SETPOWER",
     ControlClass::Button,
     "SET",
     {126, 100, 40, 14},
     StyleGroup::PushButton},
    {IDC_COMBO_PORTS,
     "IDC_COMBO_PORTS",
     ControlClass::ComboBox,
     "",
     {47, 13, 56, 174},
     StyleGroup::PortList},
    {IDC_STATIC,
     "IDC_STATIC",
     ControlClass::Static,
     "PortList:",
     {13, 13, 29, 8},
     StyleGroup::Label},
    {IDC_EDIT_POWER,
     "IDC_EDIT_POWER",
     ControlClass::Edit,
     "",
     {47, 99, 56, 15},
     StyleGroup::EntryField},
    {IDC_STATIC,
     "IDC_STATIC",
     ControlClass::Static,
     "Power:\n(7 - 13)",
     {12, 98, 29, 17},
     StyleGroup::Label},
    {IDC_STATIC, "IDC_STATIC", ControlClass::Static, "dBm", {107, 105, 17, 8}, StyleGroup::Label},
    {IDC_STATIC,
     "IDC_STATIC",
     ControlClass::Static,
     "Wavelength",
     {182, 78, 39, 8},
     StyleGroup::Label},
    {IDC_TXT_WAVELENGTH,
     "IDC_TXT_WAVELENGTH",
     ControlClass::Static,
     "",
     {222, 76, 35, 13},
     StyleGroup::Readout},
    {IDC_STATIC, "IDC_STATIC", ControlClass::Static, "nm", {261, 80, 12, 8}, StyleGroup::Label},
    {IDC_SLIDER_POWER,
     "IDC_SLIDER_POWER",
     ControlClass::Trackbar,
     "Slider1",
     {19, 119, 231, 13},
     StyleGroup::Trackbar},
    {IDC_BTN_POWER_DOWN,
     "IDC_BTN_POWER_DOWN",
     ControlClass::Button,
     kStepDownText,
     {7, 119, 12, 9},
     StyleGroup::PushButton},
    {IDC_BTN_POWER_UP,
     "IDC_BTN_POWER_UP",
     ControlClass::Button,
     kStepUpText,
     {255, 119, 12, 9},
     StyleGroup::PushButton},
    {IDC_STATIC,
     "IDC_STATIC",
     ControlClass::Static,
     "Channel:\n(1 - 89)",
     {14, 36, 32, 16},
     StyleGroup::Label},
    {IDC_BTN_SETCHANNEL,
     "IDC_BTN_SETCHANNEL",
     ControlClass::Button,
     "SET",
     {97, 35, 40, 15},
     StyleGroup::PushButton},
    {IDC_EDIT_CHANNEL,
     "IDC_EDIT_CHANNEL",
     ControlClass::Edit,
     "",
     {50, 36, 40, 15},
     StyleGroup::EntryField},
    {IDC_STATIC,
     "IDC_STATIC",
     ControlClass::Static,
     "Frequency",
     {86, 77, 35, 8},
     StyleGroup::Label},
    {IDC_TXT_FREQUENCY,
     "IDC_TXT_FREQUENCY",
     ControlClass::Static,
     "",
     {124, 75, 35, 13},
     StyleGroup::Readout},
    {IDC_STATIC, "IDC_STATIC", ControlClass::Static, "GHz", {162, 79, 15, 8}, StyleGroup::Label},
    {IDC_STATIC,
     "IDC_STATIC",
     ControlClass::Static,
     "ITLA\nChannel",
     {7, 72, 30, 17},
     StyleGroup::Label},
    {IDC_TXT_ITU, "IDC_TXT_ITU", ControlClass::Static, "", {38, 75, 35, 13}, StyleGroup::Readout},
    {IDC_SLIDER_CHANNEL,
     "IDC_SLIDER_CHANNEL",
     ControlClass::Trackbar,
     "Slider1",
     {19, 57, 233, 13},
     StyleGroup::Trackbar},
    {IDC_BTN_CH_DOWN,
     "IDC_BTN_CH_DOWN",
     ControlClass::Button,
     kStepDownText,
     {7, 57, 12, 9},
     StyleGroup::PushButton},
    {IDC_BTN_CH_UP,
     "IDC_BTN_CH_UP",
     ControlClass::Button,
     kStepUpText,
     {255, 57, 12, 9},
     StyleGroup::PushButton},
    {IDC_STATIC,
     "IDC_STATIC",
     ControlClass::Static,
     "Active:",
     {160, 40, 23, 8},
     StyleGroup::Label},
    {IDC_BTN_OUTPUT,
     "IDC_BTN_OUTPUT",
     ControlClass::Button,
     "ON/OFF",
     {192, 36, 40, 15},
     StyleGroup::PushButton},
}};

}  // namespace varnel
