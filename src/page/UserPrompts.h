#pragma once

#include <QMessageBox>
#include <QString>

class QWidget;

// The one road by which the page shows a modal message box or asks a yes/no question. The program uses
// UserPrompts::messageBoxes(), the real QMessageBox functions; a test installs its own answers and sees what
// was asked, without a modal loop.
class UserPrompts
{
public:
    enum class Kind {
        Information, // QMessageBox::information
        Warning,     // QMessageBox::warning
        Question     // QMessageBox::question
    };

    virtual ~UserPrompts() = default;

    // Shows the box and returns the button the user pressed.
    virtual QMessageBox::StandardButton ask(Kind kind, QWidget* parent, const QString& title, const QString& text,
                                            QMessageBox::StandardButtons buttons,
                                            QMessageBox::StandardButton defaultButton) = 0;

    // The process-wide instance that shows real message boxes.
    static UserPrompts& messageBoxes();
};
