// The conversion chain from a fetched picture to the desktop wallpaper.
#pragma once

// Makes WorkDir + LocalName the wallpaper, converting GIF, JPEG, PNG and
// WebP files on the way. With deleteSource not 0 the source is a download:
// it is deleted as well, and renamed first when its name matches no stage.
void ApplyWallpaper(int deleteSource);

// How many times the desktop took a new wallpaper from ApplyWallpaper.
extern unsigned WallpaperChanges;
