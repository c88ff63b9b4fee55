// Style sheets and fixed texts of the main window.
#pragma once

#include <QtWidgets/QPushButton>

inline constexpr const char* backGroud_style = "background-color: rgb(85, 107, 47);";
inline constexpr const char* Layout1BackGroud_style = "background-color: rgb(105, 139 ,105);";
inline constexpr const char* Start_label_style = "background-color: rgb(236, 246, 255);";
inline constexpr const char* main_button_style =
    "QPushButton{background-color: rgb(16, 78, 159); color: white; border-radius: 10px;"
    " border: 2px groove white;}"
    "QPushButton:hover{background-color: rgb(156, 156, 156);}"
    "QPushButton:pressed{background-color: rgb(156, 156, 156);}";
inline constexpr const char* main_button_style_no_file =
    "QPushButton{background-color: rgb(191, 191, 191); color: gray; border-radius: 10px;"
    " border: 2px groove white;}";
inline constexpr const char* Version_label = "Version 1.8.8.9";
inline constexpr const char* window_style = "background-color: rgb(251, 252, 255);";
inline constexpr const char* separator_style = "background-color: rgb(191, 191, 191);";
inline constexpr const char* photo_tile_style = "background-color: rgb(180, 160, 200);";
inline constexpr const char* music_tile_style = "background-color: rgb(250, 181, 160);";
inline constexpr const char* video_tile_style = "background-color: rgb(152, 215 ,245);";
inline constexpr const char* info_band_style = "background-color: rgb(236, 246, 255);";

inline constexpr const char* kTitleText12 = "\t\tFotoretta\n\t\t  Recover photos, videos, audios";
inline constexpr const char* kTitleText3 = "\t\tFotoretta\n\t           Recover photos, videos, audios";
inline constexpr const char* kSelectMediaText =
    "Select Media For Recovery\nPlease select a storage device below to scan for photos, audios, videos.";
inline constexpr const char* kFontFamily = "Arial";

// Window geometry.
inline constexpr int kWindowWidth = 1000;
inline constexpr int kWindowHeight = 660;

// A main button, enabled in its colour or greyed out.
inline void SetButtonEnabled(QPushButton* pButton, bool bEnabled) {
    if (!pButton) return;
    pButton->setEnabled(bEnabled);
    pButton->setStyleSheet(bEnabled ? main_button_style : main_button_style_no_file);
}
