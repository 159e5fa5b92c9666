#include "NumberEdit.h"

#include <QDropEvent>
#include <QKeyEvent>

#include "NumberText.h"

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
    const QString typed = event->text();
    // Keys that type no character (cursor keys, Delete) and shortcuts with Ctrl or Meta
    // (paste, select all, undo) are editing, not typing: the field handles them as usual.
    const bool isShortcut = event->modifiers() & (Qt::ControlModifier | Qt::MetaModifier);
    const bool typesCharacter = !typed.isEmpty() && !isShortcut && event->key() != Qt::Key_Delete;
    // Only the first character decides: one key press types one character here (no key
    // compression), and a character outside the basic plane (a surrogate here) is never
    // accepted anyway.
    if (typesCharacter && !AcceptsTypedChar(typed.at(0).unicode(), text().toStdString())) {
        event->accept();
        return;
    }
    QLineEdit::keyPressEvent(event);
}
