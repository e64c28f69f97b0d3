#pragma once

#include "tools/IntegratedTools.h"

#include <QStringList>

// The process entry of the standalone tool host.
int qMain(int argc, char** argv);

// Organization and application "Lumora", version "2.36", the desktop entry's id, and one INI file under the generic configuration
// folder as the store of every default-constructed QSettings. Needs the application object.
void setUpApplicationIdentity();

// The existing files and folders named by the arguments after the program path, as absolute paths in order; a
// leading "/input:" (any case) is dropped first. Anything that names nothing is skipped.
QStringList collectCommandLinePaths(const QStringList& arguments);

// Builds the page once per interface language and checks its title and header buttons; 0 when every language
// passes and the helper executable is present, otherwise 65. The stored language is put back as it was.
int runStandaloneSelfTest(IntegratedTools::Tool tool);
