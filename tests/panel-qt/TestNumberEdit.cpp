// The entry field's typing filter, through real key events, and its refusal of drops.
#include <QApplication>
#include <QClipboard>
#include <QDropEvent>
#include <QMimeData>
#include <QTest>
#include <map>
#include <utility>

#include <gtest/gtest.h>

#include "NumberEdit.h"

namespace {

enum class Caret { End, Home, SelectAll };  // End: where setText leaves it

struct FilterRow {
    const char* name;
    const char* initial;
    Caret caret;
    const char* typed;  // control characters stand for keys: see Type()
    const char* expected;
};

void Type(QWidget* widget, const char* keys) {
    static const std::map<char, Qt::Key> kSpecial{
        {'\b', Qt::Key_Backspace}, {'\x7f', Qt::Key_Delete}, {'\x01', Qt::Key_Left}};
    // Chords whose key still types its character: Super+b, Ctrl+Alt+minus, Alt+5.
    static const std::map<char, std::pair<char, Qt::KeyboardModifiers>> kChords{
        {'\x02', {'b', Qt::MetaModifier}},
        {'\x03', {'-', Qt::ControlModifier | Qt::AltModifier}},
        {'\x04', {'5', Qt::AltModifier}}};
    for (const char* c = keys; *c != '\0'; ++c) {
        if (const auto special = kSpecial.find(*c); special != kSpecial.end()) {
            QTest::keyClick(widget, special->second);
        } else if (const auto chord = kChords.find(*c); chord != kChords.end()) {
            QTest::keyClick(widget, chord->second.first, chord->second.second);
        } else {
            QTest::keyClick(widget, *c);
        }
    }
}

class NumberEditFilter : public testing::TestWithParam<FilterRow> {};

TEST_P(NumberEditFilter, TypedTextEndsAsExpected) {
    const FilterRow& row = GetParam();
    CNumberEdit edit;
    edit.setText(QString::fromLatin1(row.initial));
    if (row.caret == Caret::Home) {
        edit.home(false);
    } else if (row.caret == Caret::SelectAll) {
        edit.selectAll();
    }
    Type(&edit, row.typed);
    EXPECT_EQ(edit.text().toStdString(), row.expected);
}

// The rule itself is protocol's table (NumberText.TypingRule); these rows check that the field
// applies it to key presses, against the whole text whatever the caret and selection, and
// leaves editing keys alone; a chord that types a character is typing too.
INSTANTIATE_TEST_SUITE_P(
    Rows, NumberEditFilter,
    testing::Values(FilterRow{"SecondPointDropped", "", Caret::End, "12.5.", "12.5"},
                    FilterRow{"OtherCharactersDropped", "", Caret::End, "aZ +,;e", ""},
                    FilterRow{"MinusIntoSelectedTextDropped", "12", Caret::SelectAll, "-", "12"},
                    FilterRow{"PointBeforeFirstDigit", "12", Caret::Home, ".", ".12"},
                    FilterRow{"DeleteStillEdits", "12", Caret::Home, "\x7f", "2"},
                    FilterRow{"CursorKeysStillMove", "12", Caret::End, "\x01.", "1.2"},
                    FilterRow{"MinusAfterClearingAccepted", "3", Caret::End, "\b-4", "-4"},
                    FilterRow{"ChordsTypeUnderTheSameRule", "12", Caret::End, "\x02\x03\x04",
                              "125"}),
    [](const testing::TestParamInfo<FilterRow>& info) { return info.param.name; });

TEST(NumberEdit, ShortcutsAndPasteAreNotFiltered) {
    CNumberEdit edit;
    edit.setText(QStringLiteral("12"));
    QTest::keyClick(&edit, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(&edit, '9');
    EXPECT_EQ(edit.text(), QStringLiteral("9"));

    QApplication::clipboard()->setText(QStringLiteral("x-1.2.3"));
    QTest::keyClick(&edit, Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(edit.text(), QStringLiteral("9x-1.2.3"));

    edit.setText(QStringLiteral("abc"));
    EXPECT_EQ(edit.text(), QStringLiteral("abc"));
}

// Dropped text would bypass the filter: drags are turned away, even delivered directly.
TEST(NumberEdit, RefusesDrops) {
    CNumberEdit edit;
    edit.setText(QStringLiteral("5"));
    EXPECT_FALSE(edit.acceptDrops());
    QMimeData data;
    data.setText(QStringLiteral("hello"));
    QDragEnterEvent enter({1, 1}, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&edit, &enter);
    EXPECT_FALSE(enter.isAccepted());
    QDropEvent drop({1, 1}, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&edit, &drop);
    EXPECT_EQ(edit.text(), QStringLiteral("5"));
}

}  // namespace
