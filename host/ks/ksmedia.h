// The video part of ksmedia.h on the host: the category, format and pin name
// identifiers and the video-info structures of a video capture pin, with the
// WDK's names, members and layouts (KS_DATARANGE_VIDEO is 296 bytes,
// KS_VIDEOINFOHEADER 88).
#pragma once

#include "host/ks/ks_streaming.h"

typedef uint16_t WORD;
typedef int WINBOOL;
typedef LONGLONG REFERENCE_TIME;

typedef struct tagRECT {
    LONG left;
    LONG top;
    LONG right;
    LONG bottom;
} RECT, *PRECT;

typedef struct tagSIZE {
    LONG cx;
    LONG cy;
} SIZE, *PSIZE;

#define STATIC_KSCATEGORY_VIDEO 0x6994AD05L, 0x93EF, 0x11D0, 0xA3, 0xCC, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96
#define STATIC_KSDATAFORMAT_TYPE_VIDEO 0x73646976L, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71
#define STATIC_KSDATAFORMAT_SPECIFIER_VIDEOINFO \
    0x05589f80L, 0xc356, 0x11ce, 0xbf, 0x01, 0x00, 0xaa, 0x00, 0x55, 0x59, 0x5a
#define STATIC_PINNAME_VIDEO_CAPTURE 0xfb6c4281L, 0x0353, 0x11d1, 0x90, 0x5f, 0x00, 0x00, 0xc0, 0xcc, 0x16, 0xba

#define KS_BI_RGB 0L

typedef struct tagKS_BITMAPINFOHEADER {
    DWORD biSize;
    LONG biWidth;
    LONG biHeight;
    WORD biPlanes;
    WORD biBitCount;
    DWORD biCompression;
    DWORD biSizeImage;
    LONG biXPelsPerMeter;
    LONG biYPelsPerMeter;
    DWORD biClrUsed;
    DWORD biClrImportant;
} KS_BITMAPINFOHEADER, *PKS_BITMAPINFOHEADER;

typedef struct tagKS_VIDEOINFOHEADER {
    RECT rcSource;
    RECT rcTarget;
    DWORD dwBitRate;
    DWORD dwBitErrorRate;
    REFERENCE_TIME AvgTimePerFrame;
    KS_BITMAPINFOHEADER bmiHeader;
} KS_VIDEOINFOHEADER, *PKS_VIDEOINFOHEADER;

typedef struct _KS_VIDEO_STREAM_CONFIG_CAPS {
    GUID guid;
    ULONG VideoStandard;
    SIZE InputSize;
    SIZE MinCroppingSize;
    SIZE MaxCroppingSize;
    int CropGranularityX;
    int CropGranularityY;
    int CropAlignX;
    int CropAlignY;
    SIZE MinOutputSize;
    SIZE MaxOutputSize;
    int OutputGranularityX;
    int OutputGranularityY;
    int StretchTapsX;
    int StretchTapsY;
    int ShrinkTapsX;
    int ShrinkTapsY;
    LONGLONG MinFrameInterval;
    LONGLONG MaxFrameInterval;
    LONG MinBitsPerSecond;
    LONG MaxBitsPerSecond;
} KS_VIDEO_STREAM_CONFIG_CAPS, *PKS_VIDEO_STREAM_CONFIG_CAPS;

typedef struct tagKS_DATARANGE_VIDEO {
    KSDATARANGE DataRange;
    WINBOOL bFixedSizeSamples;
    WINBOOL bTemporalCompression;
    DWORD StreamDescriptionFlags;
    DWORD MemoryAllocationFlags;
    KS_VIDEO_STREAM_CONFIG_CAPS ConfigCaps;
    KS_VIDEOINFOHEADER VideoInfoHeader;
} KS_DATARANGE_VIDEO, *PKS_DATARANGE_VIDEO;

typedef struct tagKS_DATAFORMAT_VIDEOINFOHEADER {
    KSDATAFORMAT DataFormat;
    KS_VIDEOINFOHEADER VideoInfoHeader;
} KS_DATAFORMAT_VIDEOINFOHEADER, *PKS_DATAFORMAT_VIDEOINFOHEADER;

static_assert(sizeof(KSDATAFORMAT) == 64, "KSDATAFORMAT as in ks.h");
static_assert(sizeof(KS_VIDEOINFOHEADER) == 88, "KS_VIDEOINFOHEADER as in ksmedia.h");
static_assert(sizeof(KS_VIDEO_STREAM_CONFIG_CAPS) == 128, "KS_VIDEO_STREAM_CONFIG_CAPS as in ksmedia.h");
static_assert(sizeof(KS_DATARANGE_VIDEO) == 296, "KS_DATARANGE_VIDEO as in ksmedia.h");
static_assert(sizeof(KS_DATAFORMAT_VIDEOINFOHEADER) == 152, "KS_DATAFORMAT_VIDEOINFOHEADER as in ksmedia.h");
