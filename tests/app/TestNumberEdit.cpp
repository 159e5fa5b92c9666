// The entry field's typing filter, through real key events.
#include <QApplication>
#include <QClipboard>
#include <QTest>

#include <gtest/gtest.h>

#include "NumberEdit.h"

namespace {

enum class Caret { End, Home, SelectAll };

struct FilterRow {
    const char* name;
    const char* initial;
    Caret caret;
    const char* typed;  // '\b' is Backspace, '\x7f' is Delete
    const char* expected;
};

void Type(QWidget* widget, const char* keys) {
    for (const char* c = keys; *c != '\0'; ++c) {
        if (*c == '\b') {
            QTest::keyClick(widget, Qt::Key_Backspace);
        } else if (*c == '\x7f') {
            QTest::keyClick(widget, Qt::Key_Delete);
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
    switch (row.caret) {
        case Caret::End:
            edit.end(false);
            break;
        case Caret::Home:
            edit.home(false);
            break;
        case Caret::SelectAll:
            edit.selectAll();
            break;
    }
    Type(&edit, row.typed);
    EXPECT_EQ(edit.text().toStdString(), row.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, NumberEditFilter,
    testing::Values(FilterRow{"DecimalNumber", "", Caret::End, "12.5", "12.5"},
                    FilterRow{"SecondPointDropped", "", Caret::End, "12.5.", "12.5"},
                    FilterRow{"PointIntoEmptyDropped", "", Caret::End, ".", ""},
                    FilterRow{"PointAfterDigit", "", Caret::End, "5.", "5."},
                    FilterRow{"MinusPointThenMinusDropped", "", Caret::End, "-.-", "-."},
                    FilterRow{"MinusIntoSelectedTextDropped", "12", Caret::SelectAll, "-", "12"},
                    FilterRow{"DigitReplacesSelection", "12", Caret::SelectAll, "7", "7"},
                    FilterRow{"PointBeforeFirstDigit", "12", Caret::Home, ".", ".12"},
                    FilterRow{"MinusAtHomeOfNonEmptyDropped", "12", Caret::Home, "-", "12"},
                    FilterRow{"OtherCharactersDropped", "", Caret::End, "aZ +,;e", ""},
                    FilterRow{"BackspaceOnLoneMinus", "-", Caret::End, "\b", ""},
                    FilterRow{"BackspaceOnLonePoint", ".", Caret::End, "\b", ""},
                    FilterRow{"DeleteStillEdits", "12", Caret::Home, "\x7f", "2"},
                    FilterRow{"MinusAfterClearingAccepted", "3", Caret::End, "\b-4", "-4"}),
    [](const testing::TestParamInfo<FilterRow>& info) { return info.param.name; });

TEST(NumberEdit, ReturnTabAndEscapeTypeNothing) {
    CNumberEdit edit;
    edit.setText(QStringLiteral("5"));
    for (Qt::Key key : {Qt::Key_Return, Qt::Key_Tab, Qt::Key_Escape, Qt::Key_Space}) {
        QTest::keyClick(&edit, key);
    }
    EXPECT_EQ(edit.text(), QStringLiteral("5"));
}

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

TEST(NumberEdit, CursorKeysStillMoveTheCaret) {
    CNumberEdit edit;
    edit.setText(QStringLiteral("12"));
    edit.end(false);
    QTest::keyClick(&edit, Qt::Key_Left);
    QTest::keyClick(&edit, '.');
    EXPECT_EQ(edit.text(), QStringLiteral("1.2"));
}

}  // namespace
