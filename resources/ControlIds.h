// Ids of the panel's dialog and controls, shared by the behaviour and the window.
#pragma once

inline constexpr int IDD_CONTROLLER_DIALOG = 102;
inline constexpr int IDR_MAINFRAME = 128;
inline constexpr int IDC_STATIC = -1;

inline constexpr int IDC_BTN_OPENPORT = 1000;
inline constexpr int IDC_BTN_SETPOWER = 1001;
inline constexpr int IDC_BTN_SETCHANNEL = 1002;
inline constexpr int IDC_COMBO_PORTS = 1003;
inline constexpr int IDC_BTN_OUTPUT = 1004;
inline constexpr int IDC_EDIT_POWER = 1005;
inline constexpr int IDC_TXT_WAVELENGTH = 1006;
inline constexpr int IDC_EDIT_CHANNEL = 1007;
inline constexpr int IDC_SLIDER_POWER = 1008;
inline constexpr int IDC_TXT_FREQUENCY = 1009;
inline constexpr int IDC_TXT_ITU = 1010;
inline constexpr int IDC_SLIDER_CHANNEL = 1011;
inline constexpr int IDC_BTN_POWER_DOWN = 1013;
inline constexpr int IDC_BTN_POWER_UP = 1014;
inline constexpr int IDC_BTN_CH_DOWN = 1015;
inline constexpr int IDC_BTN_CH_UP = 1016;
