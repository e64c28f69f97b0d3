#pragma once

#include <QString>
#include <QStringList>

// The three batch tools the host knows. The numeric values are fixed.
namespace IntegratedTools {

enum Tool { ImageResize = 0, PsdSlim = 1, LayerExport = 2 };

QString toolId(Tool tool);          // "image-resize", "psd-slim", "layer-export"; empty otherwise
QString displayName(Tool tool);     // localized title; empty outside the enumeration
QString executableName(Tool tool);  // "Framewell.exe", "Leanfold.exe", "Stratafile.exe"; empty otherwise
QString iconResource(Tool tool);    // ":/branding/assets/...-tool-icon.png"; empty otherwise
QStringList supportedSuffixes(Tool tool); // lower case; every tool but ImageResize gets "psd", "psb"
QString fileDialogFilter(Tool tool);

// The tool this executable was built for; false for a build without one.
bool standaloneTool(Tool* out);

// The executable that does a tool's work. ImageResize and LayerExport: the sibling executable in
// "tools/integrated/" beside the program, built without looking at the disk. PsdSlim: the extracted worker.
QString helperExecutablePath(Tool tool);

} // namespace IntegratedTools
