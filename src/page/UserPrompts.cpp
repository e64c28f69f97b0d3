#include "page/UserPrompts.h"

namespace {

class MessageBoxPrompts final : public UserPrompts
{
public:
    QMessageBox::StandardButton ask(Kind kind, QWidget* parent, const QString& title, const QString& text,
                                    QMessageBox::StandardButtons buttons,
                                    QMessageBox::StandardButton defaultButton) override
    {
        switch (kind) {
        case Kind::Information:
            return QMessageBox::information(parent, title, text, buttons, defaultButton);
        case Kind::Warning:
            return QMessageBox::warning(parent, title, text, buttons, defaultButton);
        case Kind::Question:
            return QMessageBox::question(parent, title, text, buttons, defaultButton);
        }
        return QMessageBox::NoButton;
    }
};

} // namespace

UserPrompts& UserPrompts::messageBoxes()
{
    static MessageBoxPrompts instance;
    return instance;
}
