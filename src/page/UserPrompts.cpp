#include "page/UserPrompts.h"

namespace {

class MessageBoxPrompts final : public UserPrompts
{
public:
    QMessageBox::StandardButton ask(Kind kind, QWidget* parent, const QString& title, const QString& text,
                                    QMessageBox::StandardButtons buttons,
                                    QMessageBox::StandardButton defaultButton) override
    {
        // Built by hand rather than with QMessageBox's static functions: those guess the text format, and a
        // path that looks like markup would be rendered.
        QMessageBox box(icon(kind), title, text, buttons, parent);
        box.setTextFormat(Qt::PlainText);
        box.setDefaultButton(defaultButton);
        if (box.exec() == -1)
            return QMessageBox::Cancel;
        return box.standardButton(box.clickedButton());
    }

private:
    static QMessageBox::Icon icon(Kind kind)
    {
        switch (kind) {
        case Kind::Information:
            return QMessageBox::Information;
        case Kind::Warning:
            return QMessageBox::Warning;
        case Kind::Question:
            return QMessageBox::Question;
        }
        return QMessageBox::NoIcon;
    }
};

} // namespace

UserPrompts& UserPrompts::messageBoxes()
{
    static MessageBoxPrompts instance;
    return instance;
}
