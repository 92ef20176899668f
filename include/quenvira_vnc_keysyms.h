/*
 * quenvira-vnc: names for the X keysyms that vnc_send_key takes, so that a
 * host needs no X11 header. The values are the standard X keysym numbers;
 * any other keysym (Latin-1 as its code, other Unicode as 0x01000000 + code
 * point) may be passed as a plain number. Macros only; usable from C89 on.
 */
#ifndef QUENVIRA_VNC_KEYSYMS_H
#define QUENVIRA_VNC_KEYSYMS_H

/* Printable ASCII: each keysym is its character code. */
#define VNC_KEY_space            0x0020
#define VNC_KEY_exclam           0x0021  /* ! */
#define VNC_KEY_quotedbl         0x0022  /* " */
#define VNC_KEY_numbersign       0x0023  /* # */
#define VNC_KEY_dollar           0x0024  /* $ */
#define VNC_KEY_percent          0x0025  /* % */
#define VNC_KEY_ampersand        0x0026  /* & */
#define VNC_KEY_apostrophe       0x0027  /* ' */
#define VNC_KEY_parenleft        0x0028  /* ( */
#define VNC_KEY_parenright       0x0029  /* ) */
#define VNC_KEY_asterisk         0x002a  /* * */
#define VNC_KEY_plus             0x002b  /* + */
#define VNC_KEY_comma            0x002c  /* , */
#define VNC_KEY_minus            0x002d  /* - */
#define VNC_KEY_period           0x002e  /* . */
#define VNC_KEY_slash            0x002f  /* / */
#define VNC_KEY_0                0x0030
#define VNC_KEY_1                0x0031
#define VNC_KEY_2                0x0032
#define VNC_KEY_3                0x0033
#define VNC_KEY_4                0x0034
#define VNC_KEY_5                0x0035
#define VNC_KEY_6                0x0036
#define VNC_KEY_7                0x0037
#define VNC_KEY_8                0x0038
#define VNC_KEY_9                0x0039
#define VNC_KEY_colon            0x003a  /* : */
#define VNC_KEY_semicolon        0x003b  /* ; */
#define VNC_KEY_less             0x003c  /* < */
#define VNC_KEY_equal            0x003d  /* = */
#define VNC_KEY_greater          0x003e  /* > */
#define VNC_KEY_question         0x003f  /* ? */
#define VNC_KEY_at               0x0040  /* @ */
#define VNC_KEY_A                0x0041
#define VNC_KEY_B                0x0042
#define VNC_KEY_C                0x0043
#define VNC_KEY_D                0x0044
#define VNC_KEY_E                0x0045
#define VNC_KEY_F                0x0046
#define VNC_KEY_G                0x0047
#define VNC_KEY_H                0x0048
#define VNC_KEY_I                0x0049
#define VNC_KEY_J                0x004a
#define VNC_KEY_K                0x004b
#define VNC_KEY_L                0x004c
#define VNC_KEY_M                0x004d
#define VNC_KEY_N                0x004e
#define VNC_KEY_O                0x004f
#define VNC_KEY_P                0x0050
#define VNC_KEY_Q                0x0051
#define VNC_KEY_R                0x0052
#define VNC_KEY_S                0x0053
#define VNC_KEY_T                0x0054
#define VNC_KEY_U                0x0055
#define VNC_KEY_V                0x0056
#define VNC_KEY_W                0x0057
#define VNC_KEY_X                0x0058
#define VNC_KEY_Y                0x0059
#define VNC_KEY_Z                0x005a
#define VNC_KEY_bracketleft      0x005b  /* [ */
#define VNC_KEY_backslash        0x005c  /* \ */
#define VNC_KEY_bracketright     0x005d  /* ] */
#define VNC_KEY_asciicircum      0x005e  /* ^ */
#define VNC_KEY_underscore       0x005f  /* _ */
#define VNC_KEY_grave            0x0060  /* ` */
#define VNC_KEY_a                0x0061
#define VNC_KEY_b                0x0062
#define VNC_KEY_c                0x0063
#define VNC_KEY_d                0x0064
#define VNC_KEY_e                0x0065
#define VNC_KEY_f                0x0066
#define VNC_KEY_g                0x0067
#define VNC_KEY_h                0x0068
#define VNC_KEY_i                0x0069
#define VNC_KEY_j                0x006a
#define VNC_KEY_k                0x006b
#define VNC_KEY_l                0x006c
#define VNC_KEY_m                0x006d
#define VNC_KEY_n                0x006e
#define VNC_KEY_o                0x006f
#define VNC_KEY_p                0x0070
#define VNC_KEY_q                0x0071
#define VNC_KEY_r                0x0072
#define VNC_KEY_s                0x0073
#define VNC_KEY_t                0x0074
#define VNC_KEY_u                0x0075
#define VNC_KEY_v                0x0076
#define VNC_KEY_w                0x0077
#define VNC_KEY_x                0x0078
#define VNC_KEY_y                0x0079
#define VNC_KEY_z                0x007a
#define VNC_KEY_braceleft        0x007b  /* { */
#define VNC_KEY_bar              0x007c  /* | */
#define VNC_KEY_braceright       0x007d  /* } */
#define VNC_KEY_asciitilde       0x007e  /* ~ */

/* Editing and navigation. */
#define VNC_KEY_BackSpace        0xff08
#define VNC_KEY_Tab              0xff09
#define VNC_KEY_Return           0xff0d
#define VNC_KEY_Pause            0xff13
#define VNC_KEY_Scroll_Lock      0xff14
#define VNC_KEY_Escape           0xff1b
#define VNC_KEY_Home             0xff50
#define VNC_KEY_Left             0xff51
#define VNC_KEY_Up               0xff52
#define VNC_KEY_Right            0xff53
#define VNC_KEY_Down             0xff54
#define VNC_KEY_Page_Up          0xff55
#define VNC_KEY_Page_Down        0xff56
#define VNC_KEY_End              0xff57
#define VNC_KEY_Print            0xff61
#define VNC_KEY_Insert           0xff63
#define VNC_KEY_Menu             0xff67
#define VNC_KEY_Num_Lock         0xff7f
#define VNC_KEY_Delete           0xffff

/* Function keys. */
#define VNC_KEY_F1               0xffbe
#define VNC_KEY_F2               0xffbf
#define VNC_KEY_F3               0xffc0
#define VNC_KEY_F4               0xffc1
#define VNC_KEY_F5               0xffc2
#define VNC_KEY_F6               0xffc3
#define VNC_KEY_F7               0xffc4
#define VNC_KEY_F8               0xffc5
#define VNC_KEY_F9               0xffc6
#define VNC_KEY_F10              0xffc7
#define VNC_KEY_F11              0xffc8
#define VNC_KEY_F12              0xffc9
#define VNC_KEY_F13              0xffca
#define VNC_KEY_F14              0xffcb
#define VNC_KEY_F15              0xffcc
#define VNC_KEY_F16              0xffcd
#define VNC_KEY_F17              0xffce
#define VNC_KEY_F18              0xffcf
#define VNC_KEY_F19              0xffd0
#define VNC_KEY_F20              0xffd1
#define VNC_KEY_F21              0xffd2
#define VNC_KEY_F22              0xffd3
#define VNC_KEY_F23              0xffd4
#define VNC_KEY_F24              0xffd5

/* Modifiers. ISO_Level3_Shift is AltGr. */
#define VNC_KEY_ISO_Level3_Shift 0xfe03
#define VNC_KEY_Shift_L          0xffe1
#define VNC_KEY_Shift_R          0xffe2
#define VNC_KEY_Control_L        0xffe3
#define VNC_KEY_Control_R        0xffe4
#define VNC_KEY_Caps_Lock        0xffe5
#define VNC_KEY_Meta_L           0xffe7
#define VNC_KEY_Meta_R           0xffe8
#define VNC_KEY_Alt_L            0xffe9
#define VNC_KEY_Alt_R            0xffea
#define VNC_KEY_Super_L          0xffeb
#define VNC_KEY_Super_R          0xffec

/* Keypad: the digit keysyms with Num Lock on, the navigation ones with it
 * off. */
#define VNC_KEY_KP_Enter         0xff8d
#define VNC_KEY_KP_Home          0xff95
#define VNC_KEY_KP_Left          0xff96
#define VNC_KEY_KP_Up            0xff97
#define VNC_KEY_KP_Right         0xff98
#define VNC_KEY_KP_Down          0xff99
#define VNC_KEY_KP_Page_Up       0xff9a
#define VNC_KEY_KP_Page_Down     0xff9b
#define VNC_KEY_KP_End           0xff9c
#define VNC_KEY_KP_Begin         0xff9d
#define VNC_KEY_KP_Insert        0xff9e
#define VNC_KEY_KP_Delete        0xff9f
#define VNC_KEY_KP_Multiply      0xffaa
#define VNC_KEY_KP_Add           0xffab
#define VNC_KEY_KP_Separator     0xffac
#define VNC_KEY_KP_Subtract      0xffad
#define VNC_KEY_KP_Decimal       0xffae
#define VNC_KEY_KP_Divide        0xffaf
#define VNC_KEY_KP_0             0xffb0
#define VNC_KEY_KP_1             0xffb1
#define VNC_KEY_KP_2             0xffb2
#define VNC_KEY_KP_3             0xffb3
#define VNC_KEY_KP_4             0xffb4
#define VNC_KEY_KP_5             0xffb5
#define VNC_KEY_KP_6             0xffb6
#define VNC_KEY_KP_7             0xffb7
#define VNC_KEY_KP_8             0xffb8
#define VNC_KEY_KP_9             0xffb9
#define VNC_KEY_KP_Equal         0xffbd

#endif
