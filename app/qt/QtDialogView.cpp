#include "app/qt/QtDialogView.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <algorithm>

#include "app/AppTrace.h"
#include "app/CMirelDFUApp.h"
#include "app/CMirelDFUDlg.h"
#include "app/ProductInfo.h"
#include "app/console/ConsoleIo.h"
#include "app/qt/QtIcons.h"
#include "app/qt/QtProductPicture.h"
#include "app/res/resource.h"

namespace mirel {

namespace {

// The window's layout in dialog units (a quarter of the font's average
// character width across, an eighth of its height down).
struct Place {
  int x, y, width, height;
};
constexpr Place kWindow{0, 0, 401, 242};
constexpr Place kPicture{28, 10, 0, 0};
constexpr Place kTitle{131, 15, 259, 25};
constexpr Place kWarning{131, 50, 259, 25};
constexpr Place kHeading{16, 100, 369, 8};
constexpr Place kNotes{16, 113, 369, 43};
constexpr Place kStatus{16, 166, 369, 37};
constexpr Place kProgress{16, 223, 369, 11};
constexpr Place kButton{280, 217, 110, 17};
constexpr int kPictureSide = 128;  // device-independent pixels

// Signals only raise a flag; the window looks at it this often.
constexpr int kStopPollMs = 100;

QString q(const std::string& text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

int clamp_to_int(std::uint32_t value) { return static_cast<int>(std::min<std::uint32_t>(value, 0x7FFFFFFFu)); }

QLabel* make_label(QWidget* parent, bool wrap) {
  auto* label = new QLabel(parent);
  label->setWordWrap(wrap);
  label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  label->setTextFormat(Qt::PlainText);
  return label;
}

QPushButton* make_button(QWidget* parent) {
  auto* button = new QPushButton(parent);
  button->setAutoDefault(true);
  button->setVisible(false);
  return button;
}

}  // namespace

QtDialogView::QtDialogView(bool autoAnswer, unsigned timeScale)
    : m_auto(autoAnswer),
      m_loop(
          [this](unsigned message, std::uintptr_t wparam) {
            if (m_controller) m_controller->OnMessage(message, wparam);
          },
          [this](unsigned id) {
            if (m_controller) m_controller->OnTimer(id);
          },
          timeScale) {
  setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                 Qt::MSWindowsFixedSizeDialogHint);
  setSizeGripEnabled(false);
  setObjectName("MirelUpdateDialog");

  m_picture = new QtProductPicture(kPictureSide, this);
  m_picture->setAccessibleName(q(kProductName));
  m_title = make_label(this, true);
  m_warning = make_label(this, true);
  m_heading = make_label(this, false);
  m_notes = new QListWidget(this);
  m_notes->setSelectionMode(QAbstractItemView::NoSelection);
  m_notes->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  m_notes->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  m_notes->setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
  m_heading->setBuddy(m_notes);
  m_status = make_label(this, true);
  // The text the window carries until the controller first says something.
  m_status->setText(QStringLiteral("__Instructions__"));
  m_progress = new QProgressBar(this);
  m_progress->setVisible(false);
  m_progress->setRange(0, 100);
  m_progress->setValue(0);
  m_close = make_button(this);
  m_start = make_button(this);

  m_picture->setObjectName("productPicture");
  m_title->setObjectName("title");
  m_warning->setObjectName("warning");
  m_heading->setObjectName("releaseNotesHeading");
  m_notes->setObjectName("releaseNotes");
  m_status->setObjectName("status");
  m_progress->setObjectName("progress");
  m_close->setObjectName("close");
  m_start->setObjectName("start");

  QObject::connect(m_start, &QPushButton::clicked, this, [this] {
    if (m_controller && !m_ended && m_start->isVisible()) m_controller->OnStart();
  });
  QObject::connect(m_close, &QPushButton::clicked, this, [this] { ask_to_close(); });

  m_stopPoll = new QTimer(this);
  m_stopPoll->setInterval(kStopPollMs);
  QObject::connect(m_stopPoll, &QTimer::timeout, this, [this] { take_stop_request(); });

  lay_out();
}

QtDialogView::~QtDialogView() {
  if (m_busy) QApplication::restoreOverrideCursor();
}

void QtDialogView::lay_out() {
  // Dialog base units as the platform's dialogs compute them: the average
  // width of the Latin letters, halved and rounded, and the font's height.
  const QFontMetrics metrics(font());
  const int baseX =
      (metrics.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz")) / 26 + 1) / 2;
  const int baseY = metrics.height();
  const auto px = [baseX](int units) { return units * baseX / 4; };
  const auto py = [baseY](int units) { return units * baseY / 8; };
  const auto place = [&](QWidget* widget, const Place& at) {
    widget->setGeometry(px(at.x), py(at.y), px(at.width), py(at.height));
  };
  setFixedSize(px(kWindow.width), py(kWindow.height));
  m_picture->move(px(kPicture.x), py(kPicture.y));
  place(m_title, kTitle);
  place(m_warning, kWarning);
  place(m_heading, kHeading);
  place(m_notes, kNotes);
  place(m_status, kStatus);
  place(m_progress, kProgress);
  place(m_close, kButton);
  place(m_start, kButton);
}

QWidget* QtDialogView::control(int id) const {
  switch (id) {
    case IDC_PRODUCT_PICTURE:
      return m_picture;
    case IDC_TITLE:
      return m_title;
    case IDC_WARNING:
      return m_warning;
    case IDC_RELEASE_NOTES_HEADING:
      return m_heading;
    case IDC_RELEASE_NOTES:
      return m_notes;
    case IDC_STATUS:
      return m_status;
    case IDC_PROGRESS:
      return m_progress;
    case IDC_CLOSE:
      return m_close;
    case IDC_START:
      return m_start;
    default:
      return nullptr;
  }
}

bool QtDialogView::initialise() { return m_controller != nullptr && m_controller->OnInitDialog(); }

int QtDialogView::run() {
  m_ended = false;
  ConsoleIo::InstallStopSignals();
  m_stopPoll->start();
  const int code = exec();
  m_stopPoll->stop();
  ConsoleIo::RestoreStopSignals();
  return code;
}

void QtDialogView::set_window_title(const std::string& text) { setWindowTitle(q(text)); }

void QtDialogView::set_text(int control_id, const std::string& text) {
  const QString value = q(text);
  switch (control_id) {
    case IDC_TITLE:
    case IDC_WARNING:
    case IDC_STATUS:
    case IDC_RELEASE_NOTES_HEADING: {
      auto* label = static_cast<QLabel*>(control(control_id));
      label->setText(value);
      label->setAccessibleName(value);
      if (control_id == IDC_RELEASE_NOTES_HEADING) m_notes->setAccessibleName(value);
      // The bar is described by what is happening.
      if (control_id == IDC_STATUS) m_progress->setAccessibleName(value);
      break;
    }
    case IDC_CLOSE:
    case IDC_START: {
      auto* button = static_cast<QPushButton*>(control(control_id));
      button->setText(value);
      button->setAccessibleName(value);
      break;
    }
    default:
      break;
  }
}

void QtDialogView::show(int control_id, bool visible) {
  QWidget* widget = control(control_id);
  if (!widget) return;
  widget->setVisible(visible);
  if (control_id != IDC_START && control_id != IDC_CLOSE) return;
  auto* button = static_cast<QPushButton*>(widget);
  button->setDefault(visible);
  if (!visible) return;
  // The one button in that place takes the keyboard.
  button->setFocus(Qt::OtherFocusReason);
  if (m_auto) {
    // After the controller's step, as a user's click would come.
    QTimer::singleShot(0, this, [this, button] { press(button); });
  }
}

void QtDialogView::press(QPushButton* button) {
  if (!m_ended && button->isVisible()) button->click();
}

void QtDialogView::add_list_entry(int control_id, const std::string& text) {
  if (control_id != IDC_RELEASE_NOTES) return;
  m_notes->addItem(q(text));
  set_list_extent(control_id, m_listExtent);
}

void QtDialogView::set_list_extent(int control_id, int pixels) {
  if (control_id != IDC_RELEASE_NOTES) return;
  // The list scrolls sideways over at least `pixels`, however short its
  // entries are, as the platform's list boxes do with a horizontal extent.
  m_listExtent = std::max(0, pixels);
  const QFontMetrics metrics(m_notes->font());
  for (int row = 0; row < m_notes->count(); ++row) {
    QListWidgetItem* item = m_notes->item(row);
    const int width = std::max(m_listExtent, metrics.horizontalAdvance(item->text()) + 8);
    item->setSizeHint(QSize(width, metrics.height() + 4));
  }
}

void QtDialogView::make_bold(int control_id) {
  QWidget* widget = control(control_id);
  if (!widget) return;
  QFont bold = widget->font();
  bold.setWeight(QFont::Bold);
  widget->setFont(bold);
}

void QtDialogView::set_window_icon(int icon) { setWindowIcon(QtIcons::WindowIcon(icon)); }

void QtDialogView::set_product_picture(int icon) {
  m_pictureIcon = icon;
  m_picture->set_svg(QtIcons::Svg(icon));
}

void QtDialogView::set_busy(bool busy) {
  if (busy == m_busy) return;
  m_busy = busy;
  if (busy) {
    QApplication::setOverrideCursor(Qt::WaitCursor);
  } else {
    QApplication::restoreOverrideCursor();
  }
}

void QtDialogView::show_notice(const std::string& text) {
  if (m_stoppedBySignal) {
    Trace("%s\n", text.c_str());
    ConsoleIo::Write(stderr, text + "\n");
    return;
  }
  if (m_auto) {
    Trace("%s\n", text.c_str());
    return;
  }
  // The box's own loop must not run the controller in the middle of the
  // step that asked for it.
  m_loop.hold();
  QMessageBox box(QMessageBox::Information, windowTitle(), q(text), QMessageBox::Ok, this);
  box.setAccessibleName(windowTitle());
  box.exec();
  m_loop.release();
}

void QtDialogView::set_progress_range(std::uint32_t low, std::uint32_t high) {
  m_progress->setRange(clamp_to_int(low), clamp_to_int(std::max(low, high)));
}

void QtDialogView::set_progress_position(std::uint32_t position) {
  // QProgressBar ignores a value outside its range; a window's bar shows it
  // at the nearer end.
  m_progress->setValue(std::clamp(clamp_to_int(position), m_progress->minimum(), m_progress->maximum()));
}

void QtDialogView::end_dialog(int code) {
  if (m_ended) return;
  m_ended = true;
  m_stopPoll->stop();
  done(code);
}

void QtDialogView::ask_to_close() {
  if (m_controller && !m_ended) m_controller->OnClose();
}

void QtDialogView::take_stop_request() {
  // A hang-up of the terminal that started the window does not concern it;
  // every interrupt counts, even when several came between two looks.
  const unsigned interrupts = ConsoleIo::TakeInterruptCount();
  ConsoleIo::TakeStopRequest();
  for (unsigned i = 0; i < interrupts && !m_ended; ++i) on_interrupt(std::chrono::steady_clock::now());
}

void QtDialogView::on_interrupt(std::chrono::steady_clock::time_point now) {
  if (!m_controller || m_ended) return;
  const int state = m_controller->state();
  switch (m_stopRule.OnInterrupt(state, now)) {
    case StopSignalRule::Action::AskToClose:
      ask_to_close();
      break;
    case StopSignalRule::Action::Warn: {
      const std::string warning = CMirelDFUApp::FlashingWarning(state);
      Trace("%s\n", warning.c_str());
      ConsoleIo::Write(stderr, warning + "\n");
      break;
    }
    case StopSignalRule::Action::Abandon:
      Trace("Stopping the update as asked.\n");
      ConsoleIo::Write(stderr, "Stopping the update as asked.\n");
      m_stoppedBySignal = true;
      m_controller->Abandon();
      break;
  }
}

void QtDialogView::closeEvent(QCloseEvent* event) {
  if (m_ended) {
    event->accept();
    return;
  }
  // The close box and Alt-F4: the controller decides, and closes the window
  // itself when it agrees.
  event->ignore();
  ask_to_close();
}

void QtDialogView::reject() {
  // Escape.
  ask_to_close();
}

void QtDialogView::keyPressEvent(QKeyEvent* event) {
  if (event->modifiers() == Qt::NoModifier || event->modifiers() == Qt::KeypadModifier) {
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
      if (m_start->isVisible()) {
        press(m_start);
      } else if (m_close->isVisible()) {
        press(m_close);
      } else {
        ask_to_close();
      }
      return;
    }
  }
  QDialog::keyPressEvent(event);
}

}  // namespace mirel
