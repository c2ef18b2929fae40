// The conversion chain from a fetched picture to the desktop wallpaper.
#pragma once

// Makes WorkDir + LocalName the wallpaper, converting GIF and JPEG files on
// the way. With deleteSource not 0 the source file is deleted as well.
void ApplyWallpaper(int deleteSource);
