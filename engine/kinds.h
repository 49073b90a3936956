#pragma once

#include "qlmediaitem.h"

#include <array>

// The kind choices a user picks from: the window's kind pop-up, in this order, and
// qlfind's --kind.
struct QLKindChoice
{
    const char *name;  // qlfind's --kind value
    const char *title; // the pop-up's text, UTF-8
    quint64 mask;
};

inline constexpr std::array<QLKindChoice, 7> QLKindChoices = {{
    {"all", "全部类型", QLAllKinds},
    {"mp3", "MP3", QLKindMP3},
    {"mp4", "MP4", QLKindMP4},
    {"m4a", "M4A", QLKindM4A},
    {"wav-aiff", "WAV/AIFF", QLKindWAV | QLKindAIFF},
    {"video", "视频(MP4/M4V/MOV)", QLKindMP4 | QLKindM4V | QLKindMOV},
    {"flac", "FLAC", QLKindFLAC},
}};
