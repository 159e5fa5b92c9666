// The panel's numeric entry field.
#pragma once

#include <QLineEdit>

/// A single-line field that lets through only the characters AcceptsTypedChar (protocol/)
/// allows, judged against the whole text; anything else typed, with or without a chord
/// (Super+b, Ctrl+Alt+minus), is dropped without feedback. Pasted text and text the program
/// writes are not filtered, and editing keys and shortcuts (cursor keys, Delete, Ctrl+V,
/// Ctrl+A, ...) work as usual.
/// Dropped text is refused.
class CNumberEdit : public QLineEdit {
    Q_OBJECT
public:
    explicit CNumberEdit(QWidget* parent = nullptr);

    /// Draws the text `dy` pixels below where a plain field draws it. Derived from the field's
    /// own rectangle each time, so calling it again never moves the text further.
    void SetTextOffset(int dy);

protected:
    void keyPressEvent(QKeyEvent* event) override;
    // Drags are turned away even when delivered directly, not only through acceptDrops().
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;
};
