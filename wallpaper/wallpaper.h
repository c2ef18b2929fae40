// The conversion chain from a fetched picture to the desktop wallpaper.
#pragma once

#include <string>

// Makes WorkDir + LocalName the wallpaper, converting GIF, JPEG, PNG and
// WebP files on the way. With deleteSource not 0 the source is a download:
// it is deleted as well, and renamed first when its name matches no stage.
void ApplyWallpaper(int deleteSource);

// How many times the desktop took a new wallpaper from ApplyWallpaper.
extern unsigned WallpaperChanges;

// How many pictures the chain took: each one the desktop took, and each
// one held for a monitor.
extern unsigned PicturesTaken;

// A step that gives every monitor a picture of its own (monitor_round.cpp).
// The pictures are made one after another and held; once each monitor has
// one, or the step runs out of tries, they reach the desktop together, so
// that it lays them out once.
//
// Starts a round over the monitors as the desktop has them now, taken left
// to right, then top to bottom; false when there are fewer than two or the
// desktop offers no wallpaper per monitor, and the step is then an ordinary
// one.
bool BeginMonitorRound();
bool MonitorRoundActive();
// The monitors the round gives pictures to.
int MonitorRoundSize();
// Whether another picture should be fetched for the round.
bool MonitorRoundWantsMore();
// Takes the chain's finished bitmap for the next monitor of the round;
// false when it could not be held.
bool HoldMonitorPicture(const char* bitmap, int deleteSource);
// Counts one try: a fetch for the round ended, with a picture or without.
void EndMonitorTurn();
// Sets the held pictures, one per monitor in the round's order; the
// monitors without one keep theirs. Ends the round.
void FinishMonitorRound();

// The desktop took one picture for all monitors (the chain's wallpaper call).
void NoteOnePictureForAll();
// The stored copy of the picture shown last: the wallpaper call's, or after
// a round the copy of the round's last monitor. Empty when there is none.
std::string ShownWallpaperCopy();
// Sets what the monitors show again, as it was set (one picture for all, or
// each monitor's own), so that a new fit reaches it.
void ShowWallpaperAgain();
