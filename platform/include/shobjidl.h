// The desktop wallpaper object: a picture per monitor, by the monitor's
// device path, as the shell offers it since Windows 8.
#ifndef SKERROW_PLATFORM_SHOBJIDL_H
#define SKERROW_PLATFORM_SHOBJIDL_H

#include <objbase.h>

typedef enum DESKTOP_WALLPAPER_POSITION {
  DWPOS_CENTER = 0,
  DWPOS_TILE = 1,
  DWPOS_STRETCH = 2,
  DWPOS_FIT = 3,
  DWPOS_FILL = 4,
  DWPOS_SPAN = 5
} DESKTOP_WALLPAPER_POSITION;

typedef DWORD COLORREF;
struct IShellItemArray;
typedef enum DESKTOP_SLIDESHOW_OPTIONS { DSO_SHUFFLEIMAGES = 0x1 } DESKTOP_SLIDESHOW_OPTIONS;
typedef enum DESKTOP_SLIDESHOW_STATE { DSS_ENABLED = 0x1, DSS_SLIDESHOW = 0x2, DSS_DISABLED_BY_REMOTE_SESSION = 0x4 } DESKTOP_SLIDESHOW_STATE;
typedef enum DESKTOP_SLIDESHOW_DIRECTION { DSD_FORWARD = 0, DSD_BACKWARD = 1 } DESKTOP_SLIDESHOW_DIRECTION;

#ifdef __cplusplus
extern "C" const CLSID CLSID_DesktopWallpaper;
extern "C" const IID IID_IDesktopWallpaper;

// The methods in the shell's order. Each call's strings are wide; a
// monitor's id comes from GetMonitorDevicePathAt and is freed with
// CoTaskMemFree.
struct IDesktopWallpaper : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE SetWallpaper(LPCWSTR monitorID, LPCWSTR wallpaper) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetWallpaper(LPCWSTR monitorID, LPWSTR* wallpaper) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetMonitorDevicePathAt(UINT monitorIndex, LPWSTR* monitorID) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetMonitorDevicePathCount(UINT* count) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetMonitorRECT(LPCWSTR monitorID, RECT* displayRect) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetBackgroundColor(COLORREF color) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetBackgroundColor(COLORREF* color) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetPosition(DESKTOP_WALLPAPER_POSITION position) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetPosition(DESKTOP_WALLPAPER_POSITION* position) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetSlideshow(IShellItemArray* items) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetSlideshow(IShellItemArray** items) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetSlideshowOptions(DESKTOP_SLIDESHOW_OPTIONS options, UINT slideshowTick) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetSlideshowOptions(DESKTOP_SLIDESHOW_OPTIONS* options, UINT* slideshowTick) = 0;
  virtual HRESULT STDMETHODCALLTYPE AdvanceSlideshow(LPCWSTR monitorID, DESKTOP_SLIDESHOW_DIRECTION direction) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetStatus(DESKTOP_SLIDESHOW_STATE* state) = 0;
  virtual HRESULT STDMETHODCALLTYPE Enable(BOOL enable) = 0;
};
#endif

#endif  // SKERROW_PLATFORM_SHOBJIDL_H
