#pragma once

class QCoreApplication;

// Loads Qt's own texts (message-box buttons, file dialogs) in the interface language, so that they match the
// page's. Looked for first among the program's resources (":/qt-translations", where a static build compiles them
// in), then in Qt's translations folder. English needs none. Returns false when a language needs a file that is
// in neither place: Qt's texts then stay in English.
bool installQtTranslations(QCoreApplication& app);
