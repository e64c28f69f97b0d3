#pragma once

#include "page/UserPrompts.h"

#include <QList>

// Answers the page's message boxes without a modal loop and keeps what was asked. Answers are taken in order;
// when none is left, a yes/no box gets Yes and any other box its only button.
class RecordingPrompts final : public UserPrompts
{
public:
    struct Asked {
        Kind kind;
        QString title;
        QString text;
        QMessageBox::StandardButtons buttons;
        QMessageBox::StandardButton defaultButton;
    };

    QList<Asked> asked;
    QList<QMessageBox::StandardButton> answers;

    QMessageBox::StandardButton ask(Kind kind, QWidget*, const QString& title, const QString& text,
                                    QMessageBox::StandardButtons buttons,
                                    QMessageBox::StandardButton defaultButton) override
    {
        asked.append({kind, title, text, buttons, defaultButton});
        if (!answers.isEmpty())
            return answers.takeFirst();
        return buttons.testFlag(QMessageBox::Yes) ? QMessageBox::Yes : QMessageBox::Ok;
    }

    QStringList titles() const
    {
        QStringList list;
        for (const Asked& a : asked)
            list.append(a.title);
        return list;
    }
};
