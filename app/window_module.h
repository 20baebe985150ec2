#pragma once
// What the window module (loaded at run time, so that running unattended loads
// neither Qt Gui nor Qt Widgets) offers the program's entry point.
#include <QCoreApplication>

#include "capture/capture_control.h"

extern "C" {

// Runs the main window until it ends; the exit status.
int SnapvaneRunWindow(int* argc, char** argv, const char* settingsFile, int signalReadEnd);
// An application that can draw text (for captions) without any display.
QCoreApplication* SnapvaneNewTextApplication(int* argc, char** argv);
// The caption renderer for such an application.
snapvane::CaptionBurner SnapvaneCaptionBurner();

using SnapvaneRunWindowFn = decltype(&SnapvaneRunWindow);
using SnapvaneNewTextApplicationFn = decltype(&SnapvaneNewTextApplication);
using SnapvaneCaptionBurnerFn = decltype(&SnapvaneCaptionBurner);
}
