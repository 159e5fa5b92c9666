#include "ControllerDlg.h"

#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QImageReader>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPushButton>
#include <QStandardItemModel>
#include <QThread>
#include <QWindow>
#include <algorithm>
#include <climits>

#include "DialogBuilder.h"
#include "Globals.h"
#include "NumberEdit.h"
#include "PortFacts.h"
#include "PortNames.h"
#include "QtText.h"
#include "SerialLink.h"
#include "TickSlider.h"

namespace {

QIcon LoadAppIcon() {
    QIcon icon;
    for (int size : {16, 32, 48}) {
        // Read as PNG, named: left to guess, Qt's reader loads every image-format plugin to
        // ask it first, which costs the start-up more than the three images.
        QImageReader reader(QStringLiteral(":/varnel/varnel-%1.png").arg(size), "png");
        reader.setAutoDetectImageFormat(false);
        icon.addPixmap(QPixmap::fromImage(reader.read()));
    }
    return icon;
}

// The port list's items. Each one's tooltip (its device, by-id name, USB identity and holder)
// is looked up when a view asks for it, as the pointer rests on the item: those facts cost
// reads of /dev, /sys and /proc that neither the first frame nor a rescan should wait for.
class PortListModel : public QStandardItemModel {
public:
    using QStandardItemModel::QStandardItemModel;

    QVariant data(const QModelIndex& index, int role) const override {
        if (role != Qt::ToolTipRole) {
            return QStandardItemModel::data(index, role);
        }
        const QString text = QStandardItemModel::data(index, Qt::DisplayRole).toString();
        bool isNumber = false;
        const int com = text.mid(3).toInt(&isNumber);
        if (!text.startsWith(QLatin1String("COM")) || !isNumber || PortDevicePath(com).empty()) {
            return {};
        }
        return ToQString(DescribePortFacts(FactsOfPort(com)));
    }
};

bool IsStepButton(int id) {
    return id == IDC_BTN_CH_DOWN || id == IDC_BTN_CH_UP || id == IDC_BTN_POWER_DOWN ||
           id == IDC_BTN_POWER_UP;
}

}  // namespace

CControllerDlg::CControllerDlg(QWidget* parent) : CControllerDlg(g_state, g_serialLink, parent) {}

CControllerDlg::CControllerDlg(ControllerState& state, CSerialLink& link, QWidget* parent)
    : QDialog(parent),
      m_link(link),
      m_linkPort(link),
      m_bridge(link, [this](unsigned message, std::uint32_t wParam,
                            std::int32_t lParam) { OnLinkMessage(message, wParam, lParam); }),
      m_controller(state, *this, *this, m_linkPort, m_probe, &m_bridge),
      m_server(m_controller) {
    // The icons are compiled into the window library; a static library must register them.
    Q_INIT_RESOURCE(varnel);
    m_icon = LoadAppIcon();

    varnel::BuiltDialog built =
        varnel::BuildFromTemplate(*this, varnel::kControllerDialog, varnel::kControllerControls);
    m_base = built.base;
    m_controls = std::move(built.controls);
    for (std::size_t i = 0; i < m_controls.size(); ++i) {
        const int id = varnel::kControllerControls[i].id;
        if (id != IDC_STATIC) {
            m_controlById.insert(id, m_controls[i]);
        }
    }
    m_btnOpenPort = qobject_cast<QPushButton*>(Control(IDC_BTN_OPENPORT));
    m_btnOutput = qobject_cast<QPushButton*>(Control(IDC_BTN_OUTPUT));
    m_btnSetPower = qobject_cast<QPushButton*>(Control(IDC_BTN_SETPOWER));
    m_btnSetChannel = qobject_cast<QPushButton*>(Control(IDC_BTN_SETCHANNEL));
    m_comboPorts = qobject_cast<QComboBox*>(Control(IDC_COMBO_PORTS));
    m_comboPorts->setModel(new PortListModel(m_comboPorts));

    connect(m_btnOpenPort, &QPushButton::clicked, this, [this] {
        // A report box holds the monitor thread until it is answered: a close now would wait
        // for that thread, and the box for the close. The box is modal, so only a click that
        // bypasses input (a screen reader's press action) gets here; it is refused rather than
        // deferred, as a device change may have reset the panel by the time the box is gone.
        if (MessageBoxReporter::IsShowing()) {
            return;
        }
        m_controller.OnOpenPort();
    });
    connect(m_btnSetChannel, &QPushButton::clicked, this, [this] { m_controller.OnSetChannel(); });
    connect(m_btnSetPower, &QPushButton::clicked, this, [this] { m_controller.OnSetPower(); });
    connect(m_btnOutput, &QPushButton::clicked, this, [this] { m_controller.OnOutputToggle(); });
    connect(&m_watcher, &DeviceWatcher::deviceChanged, this,
            [this] { m_controller.OnDeviceChange(); });

    m_link.SetErrorReporter(&m_reporter);
    qApp->installEventFilter(this);

    OnInitDialog();
    m_btnOpenPort->setFocus();
}

CControllerDlg::~CControllerDlg() {
    // The link may still run (the port is left open when the panel closes) and outlives the
    // window: from here on its reports go to standard error and its bytes nowhere.
    m_link.SetErrorReporter(nullptr);
    m_bridge.Detach();  // also detaches the link's owner
    qApp->removeEventFilter(this);
    for (QBasicTimer& timer : m_timers) {
        timer.stop();
    }
}

void CControllerDlg::OnInitDialog() {
    setWindowIcon(m_icon);
    m_controller.OnInitDialog();
}

void CControllerDlg::OnLinkMessage(unsigned message, std::uint32_t wParam, std::int32_t lParam) {
    // Only received characters are asked for when the port opens; other notifications have
    // no handler.
    if (message == WM_LINK_RXCHAR) {
        m_controller.OnLinkRxChar(wParam, lParam);
    }
}

int CControllerDlg::IdOf(const QObject* widget) const {
    for (auto it = m_controlById.cbegin(); it != m_controlById.cend(); ++it) {
        if (it.value() == widget) {
            return it.key();
        }
    }
    return IDC_STATIC;
}

bool CControllerDlg::eventFilter(QObject* target, QEvent* event) {
    if (PreTranslateMessage(target, event)) {
        return true;
    }
    return QDialog::eventFilter(target, event);
}

bool CControllerDlg::PreTranslateMessage(QObject* target, QEvent* event) {
    switch (event->type()) {
        case QEvent::KeyPress: {
            if (!target->isWidgetType() || static_cast<QWidget*>(target)->window() != this) {
                return false;
            }
            const int key = static_cast<QKeyEvent*>(event)->key();
            if (key == Qt::Key_Return || key == Qt::Key_Enter) {
                // Runs the field's SET for the two entry fields; consumed everywhere, so it
                // never reaches the dialog's own key handling.
                const int id = IdOf(target);
                m_controller.OnEnterKey(id);
                return true;
            }
            return key == Qt::Key_Escape;
        }
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonDblClick: {
            // The step buttons act on the raw press; the press still goes on to the button. A
            // quick second press arrives as a double click instead, and is a press all the same.
            if (static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
                const int id = IdOf(target);
                if (IsStepButton(id)) {
                    m_controller.OnStepButtonDown(id);
                }
            }
            return false;
        }
        case QEvent::MouseButtonRelease: {
            // Taken where it enters the panel's window, before Qt hands it to a control and,
            // unaccepted, on to its parents: so each release is seen exactly once, wherever
            // in the panel it happens (a pressed button keeps the mouse until the release).
            if (static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton &&
                target == windowHandle()) {
                m_controller.OnMouseUp();
            }
            return false;
        }
        default:
            return false;
    }
}

void CControllerDlg::reject() {}

void CControllerDlg::closeEvent(QCloseEvent* event) {
    event->accept();
    done(QDialog::Rejected);
}

void CControllerDlg::timerEvent(QTimerEvent* event) {
    for (unsigned id = 1; id < m_timers.size(); ++id) {
        if (m_timers[id].timerId() == event->timerId()) {
            m_controller.OnTimer(id);
            return;
        }
    }
    QDialog::timerEvent(event);
}

// --- timers -------------------------------------------------------------------------------

void CControllerDlg::SetTimer(unsigned id, unsigned periodMs) {
    if (id == 0 || id >= m_timers.size()) {
        return;
    }
    // Restarting an id replaces its period; the first tick comes one period from now.
    const int period = static_cast<int>(std::min<unsigned>(periodMs, INT_MAX));
    m_timers[id].start(period, Qt::PreciseTimer, this);
}

void CControllerDlg::KillTimer(unsigned id) {
    if (id < m_timers.size()) {
        m_timers[id].stop();
    }
}

void CControllerDlg::Sleep(unsigned ms) {
    QThread::msleep(ms);
}

// --- controls -----------------------------------------------------------------------------

CTickSlider* CControllerDlg::Slider(int id) const {
    return qobject_cast<CTickSlider*>(Control(id));
}

CNumberEdit* CControllerDlg::Edit(int id) const {
    return qobject_cast<CNumberEdit*>(Control(id));
}

void CControllerDlg::PortListReset() {
    m_comboPorts->clear();
}

void CControllerDlg::PortListInsert(int position, const std::string& text) {
    const int selected = m_comboPorts->currentIndex();
    // The tooltip, the device behind "COMn", comes from the list's model when it is shown.
    m_comboPorts->insertItem(position, ToQString(text));
    // Qt selects the first item put into an empty list; here only an explicit select does.
    if (selected < 0) {
        m_comboPorts->setCurrentIndex(-1);
    }
}

void CControllerDlg::PortListSelect(int position) {
    m_comboPorts->setCurrentIndex(position);
}

int CControllerDlg::PortListSelection() const {
    return m_comboPorts->currentIndex();
}

void CControllerDlg::PortListEnable(bool enable) {
    m_comboPorts->setEnabled(enable);
}

void CControllerDlg::SliderSetRange(int id, int minimum, int maximum) {
    if (CTickSlider* slider = Slider(id)) {
        slider->setRange(minimum, maximum);
    }
}

void CControllerDlg::SliderClearTicks(int id) {
    if (CTickSlider* slider = Slider(id)) {
        slider->ClearTicks();
    }
}

void CControllerDlg::SliderAddTick(int id, int position) {
    if (CTickSlider* slider = Slider(id)) {
        slider->AddTick(position);
    }
}

int CControllerDlg::SliderPosition(int id) const {
    const CTickSlider* slider = Slider(id);
    return slider != nullptr ? slider->value() : 0;
}

void CControllerDlg::SliderSetPosition(int id, int position) {
    if (CTickSlider* slider = Slider(id)) {
        slider->setValue(position);
    }
}

void CControllerDlg::EditSetTextOffset(int id, int dy) {
    if (CNumberEdit* edit = Edit(id)) {
        edit->SetTextOffset(dy);
    }
}

std::string CControllerDlg::GetItemText(int id) const {
    const QWidget* widget = Control(id);
    if (const auto* edit = qobject_cast<const QLineEdit*>(widget)) {
        return edit->text().toStdString();
    }
    if (const auto* label = qobject_cast<const QLabel*>(widget)) {
        return label->text().toStdString();
    }
    if (const auto* button = qobject_cast<const QAbstractButton*>(widget)) {
        return button->text().toStdString();
    }
    return {};
}

void CControllerDlg::SetItemText(int id, const std::string& text) {
    // A module repeats its replies; writing the same text again would repaint the control for
    // nothing (and, in an entry field, move the operator's caret).
    QWidget* widget = Control(id);
    const QString value = ToQString(text);
    if (auto* edit = qobject_cast<QLineEdit*>(widget)) {
        if (edit->text() != value) {
            edit->setText(value);
        }
    } else if (auto* label = qobject_cast<QLabel*>(widget)) {
        if (label->text() != value) {
            label->setText(value);
        }
    } else if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
        if (button->text() != value) {
            button->setText(value);
        }
    }
}

void CControllerDlg::SetCaption(int id, const std::string& text) {
    SetItemText(id, text);
}

void CControllerDlg::ShowNotice(const std::string& caption, const std::string& text) {
    QMessageBox box(QMessageBox::Warning, ToQString(caption), ToQString(text), QMessageBox::Ok,
                    this);
    box.setObjectName(QStringLiteral("NoticeBox"));
    box.exec();
}
