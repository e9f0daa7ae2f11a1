#pragma once

class QCoreApplication;

// Qt's own texts in French (a text field's context menu, standard buttons), from the system's
// Qt translations (Debian's qt6-translations-l10n); English where they are not installed.
void installQtFrench(QCoreApplication& app);
