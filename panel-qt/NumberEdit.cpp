#include "NumberEdit.h"

#include <QDropEvent>
#include <QKeyEvent>

#include "NumberText.h"

namespace {

// Whether the line edit would insert the key's text, which it does for every chord but Ctrl
// and Ctrl+Shift (its shortcuts: paste, select all, undo): Super+b or Ctrl+Alt+minus type
// their character as a plain key does. Keys that type nothing (cursor keys) and Delete are
// editing. Only the first character decides: one key press types one character here (no key
// compression), and a character outside the basic plane (a surrogate here) is never accepted.
bool TypesCharacter(const QKeyEvent& event) {
    const QString typed = event.text();
    if (typed.isEmpty() || event.key() == Qt::Key_Delete) {
        return false;
    }
    // Invisible format characters (joiners, direction marks) are inserted even with Ctrl.
    if (typed.at(0).category() == QChar::Other_Format) {
        return true;
    }
    const Qt::KeyboardModifiers chord = event.modifiers();
    return chord != Qt::ControlModifier && chord != (Qt::ControlModifier | Qt::ShiftModifier);
}

}  // namespace

CNumberEdit::CNumberEdit(QWidget* parent) : QLineEdit(parent) {
    // Characters must arrive as key events to be filtered; an input method would commit text
    // past the filter.
    setAttribute(Qt::WA_InputMethodEnabled, false);
    // Dropped text would bypass the filter too.
    setAcceptDrops(false);
    setAlignment(Qt::AlignCenter);
}

void CNumberEdit::dragEnterEvent(QDragEnterEvent* event) {
    event->ignore();
}

void CNumberEdit::dragMoveEvent(QDragMoveEvent* event) {
    event->ignore();
}

void CNumberEdit::dropEvent(QDropEvent* event) {
    event->ignore();
}

void CNumberEdit::SetTextOffset(int dy) {
    // Top and bottom margins of opposite sign shift the text rectangle without shrinking it;
    // setting them replaces the previous ones, so repeats never add up.
    setTextMargins(0, dy, 0, -dy);
}

void CNumberEdit::keyPressEvent(QKeyEvent* event) {
    if (TypesCharacter(*event) &&
        !AcceptsTypedChar(event->text().at(0).unicode(), text().toStdString())) {
        event->accept();
        return;
    }
    QLineEdit::keyPressEvent(event);
}
