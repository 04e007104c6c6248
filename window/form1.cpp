#include "window/form1.h"

#include <QApplication>
#include <QCloseEvent>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QTreeView>

#include "analysis/folder_cache.h"
#include "analysis/tallyroot_module.h"
#include "list/name_text.h"
#include "walker/folder_listing.h"
#include "walker/typed_path.h"
#include "window/path_text.h"

namespace tallyroot {
namespace {

constexpr char kSeparator = platform::kSeparator;

// The path box's first text: the platform's root ("/", or "C:\\" on Windows).
const QString kInitialPath = QString::fromUtf8(platform::kInitialPath);

const QString kTitle = QStringLiteral("Tallyroot");

// The up button's caption: an arrow drawn from text, five lines.
const QString kUpArrow = QStringLiteral("/\\\r\n|\r\n|\r\n|\r\n|");

// Shows the busy cursor for as long as a listing runs, whichever way it ends.
struct BusyCursor {
  BusyCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
  ~BusyCursor() { QApplication::restoreOverrideCursor(); }
  BusyCursor(const BusyCursor&) = delete;
  BusyCursor& operator=(const BusyCursor&) = delete;
};

}  // namespace

// LayOutControls bound to the real widgets, in pixels.
struct WidgetControls {
  Form1& f;
  float ScaleWidth() const { return static_cast<float>(f.width()); }
  float ScaleHeight() const { return static_cast<float>(f.height()); }
  static int Px(float v) { return qRound(v); }
  void SetLabel1Width(float w) { f.Label1->resize(Px(w), f.Label1->height()); }
  void SetText1Width(float w) { f.Text1->resize(Px(w), f.Text1->height()); }
  float Text1Width() const { return static_cast<float>(f.Text1->width()); }
  void SetCommand1Left(float x) { f.Command1->move(Px(x), f.Command1->y()); }
  void SetCommand1Width(float w) { f.Command1->resize(Px(w), f.Command1->height()); }
  float ListTop() const { return static_cast<float>(f.ListView1->y()); }
  void SetListHeight(float h) { f.ListView1->resize(f.ListView1->width(), Px(h)); }
  void SetListWidth(float w) { f.ListView1->resize(Px(w), f.ListView1->height()); }
  float ListWidth() const { return static_cast<float>(f.ListView1->width()); }
  float ListHeight() const { return static_cast<float>(f.ListView1->height()); }
  float Command2Width() const { return static_cast<float>(f.Command2->width()); }
  void SetCommand2Left(float x) { f.Command2->move(Px(x), f.Command2->y()); }
  void SetCommand2Height(float h) { f.Command2->resize(f.Command2->width(), Px(h)); }
};

Form1::Form1(QWidget* parent)
    : QWidget(parent),
      Label1(new QLabel(this)),
      Text1(new QLineEdit(this)),
      Command1(new QPushButton(QStringLiteral("load"), this)),
      ListView1(new QTreeView(this)),
      Command2(new QPushButton(this)) {
  setObjectName(QStringLiteral("Form1"));
  setWindowTitle(kTitle);
  Label1->setObjectName(QStringLiteral("Label1"));
  Label1->setTextFormat(Qt::PlainText);  // a path, however much it looks like markup
  Text1->setObjectName(QStringLiteral("Text1"));
  Command1->setObjectName(QStringLiteral("Command1"));
  ListView1->setObjectName(QStringLiteral("ListView1"));
  Command2->setObjectName(QStringLiteral("Command2"));
  // What a screen reader says of each control. The visible texts say it
  // only in part: "load" is English, the up button's caption is an arrow
  // drawn from text, and the path box and the list show no label.
  Text1->setAccessibleName(QString::fromUtf8("Pfad des Ordners"));
  Command1->setAccessibleName(QString::fromUtf8("Ordner laden"));
  ListView1->setAccessibleName(QString::fromUtf8("Inhalt des Ordners"));
  Command2->setAccessibleName(QString::fromUtf8("Zum übergeordneten Ordner"));
  SetRootText(QString());

  // The design, in twips: inner area 4380 x 2625 and the five controls.
  resize(Twips(4380), Twips(2625));
  Label1->setGeometry(Twips(0), Twips(0), Twips(4095), Twips(255));
  Text1->setGeometry(Twips(0), Twips(240), Twips(2895), Twips(285));
  Command1->setGeometry(Twips(3000), Twips(240), Twips(1095), Twips(255));
  ListView1->setGeometry(Twips(0), Twips(480), Twips(3855), Twips(2055));
  Command2->setGeometry(Twips(3840), Twips(480), Twips(375), Twips(2055));
  Text1->setText(kInitialPath);

  // Focus order: the list, the path box, "load", up. The label takes none.
  Label1->setFocusPolicy(Qt::NoFocus);
  setTabOrder(ListView1, Text1);
  setTabOrder(Text1, Command1);
  setTabOrder(Command1, Command2);
  ListView1->setFocus();

  // A report-style list over the store. The view never sorts by itself: a
  // header click is a command (ListView1_ColumnClick).
  ListView1->setModel(&list_);
  list_.SetWarningIcon(style()->standardIcon(QStyle::SP_MessageBoxWarning));
  ListView1->setRootIsDecorated(false);
  ListView1->setUniformRowHeights(true);
  ListView1->setItemsExpandable(false);
  ListView1->setAllColumnsShowFocus(true);
  ListView1->setSelectionMode(QAbstractItemView::SingleSelection);
  ListView1->setSelectionBehavior(QAbstractItemView::SelectRows);
  ListView1->setSortingEnabled(false);
  ListView1->header()->setSectionsClickable(true);
  ListView1->header()->setSortIndicatorShown(true);

  connect(Command1, &QPushButton::clicked, this, &Form1::Command1_Click);
  connect(Command2, &QPushButton::clicked, this, &Form1::Command2_Click);
  connect(ListView1, &QTreeView::doubleClicked, this, &Form1::ListView1_DblClick);
  connect(Text1, &QLineEdit::textChanged, this, &Form1::Text1_Change);
  connect(ListView1->header(), &QHeaderView::sectionClicked, this,
          [this](int section) { ListView1_ColumnClick(section + 1); });

  Form_Load();
  TallyrootModule::SetWindow(this);
}

Form1::~Form1() { TallyrootModule::SetWindow(nullptr); }

int Form1::Twips(double twips) const { return qRound(twips * logicalDpiX() / kTwipsPerInch); }

QString Form1::PathText() const { return Text1->text(); }
QString Form1::RootText() const { return Label1->text(); }

void Form1::Form_Load() {
  SuppressPathChange = false;
  Busy = false;
  const QSize screen = this->screen() ? this->screen()->size() : QSize(width(), height());
  limits_ = {double(width()), 2.0 * screen.width(), double(height()), 2.0 * screen.height()};
  setMinimumSize(width(), height());
  setMaximumSize(2 * screen.width(), 2 * screen.height());
  TallyrootModule::CacheCreate();

  list_.ClearColumns();
  const char* const headers[] = {"Dateiname", "Typ", "Größe", "Anteil des Verzeichnisses",
                                 "Anteil von Root"};
  for (int i = 0; i < 5; ++i) list_.AddColumn(i + 1, QString::fromUtf8(headers[i]));
  Command2->setText(kUpArrow);

  // The name takes the room that the others leave; they are as wide as their
  // header or their widest value.
  QHeaderView* header = ListView1->header();
  const QFontMetrics cellMetrics(ListView1->font());
  const QFontMetrics headerMetrics(header->font());
  const char* const widest[] = {"", "Ordner", "0000000000000", "000,00%", "000,00%"};
  header->setStretchLastSection(false);
  header->setSectionResizeMode(0, QHeaderView::Stretch);
  for (int column = 1; column < 5; ++column) {
    const int cell = cellMetrics.horizontalAdvance(QString::fromLatin1(widest[column]));
    const int title = headerMetrics.horizontalAdvance(QString::fromUtf8(headers[column]));
    header->resizeSection(column, std::max(cell, title) + 2 * cellMetrics.averageCharWidth() + 8);
  }
  ShowSortIndicator();
}

void Form1::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  Form_Resize();
}

void Form1::Form_Resize() {
  const WindowState state = isMinimized()   ? WindowState::Minimized
                            : isMaximized() ? WindowState::Maximized
                                            : WindowState::Normal;
  if (state == WindowState::Minimized) return;
  const SizeCorrection corrected =
      CorrectSize(state, static_cast<float>(width()), static_cast<float>(height()), limits_);
  if (corrected.state != state) showNormal();
  if (qRound(corrected.width) != width() || qRound(corrected.height) != height()) {
    resize(qRound(corrected.width), qRound(corrected.height));
  }
  WidgetControls controls{*this};
  LayOutControls(controls);
}

void Form1::SetPathText(const QString& text) {
  SuppressPathChange = true;
  Text1->setText(text);
  SuppressPathChange = false;
}

void Form1::SetRootText(const QString& root) {
  Label1->setText(root);
  // A screen reader reads the label by its name: what it shows, and what
  // that is.
  Label1->setAccessibleName(root.isEmpty() ? QString::fromUtf8("Kein Ordner geladen")
                                           : QString::fromUtf8("Geladener Ordner: ") + root);
}

void Form1::Command1_Click() {
  QString path = TrimSpaces(Text1->text());
  // Only a typed path is made the program's own (on Windows: quotes, "/",
  // absolute once, stored letter case); every other path it lists is
  // made from this one and from names the file system gave. Asking the file
  // system lets the window's events through, as a listing does.
  if (!path.isEmpty()) {
    const std::string typed = TextToName(path);
    SetIdle(false);
    TallyrootModule::AbortScan = false;  // as every walk clears it when it starts
    std::optional<std::string> own;
    {
      BusyCursor cursor;
      own = platform::TypedFolderPath(typed, TallyrootModule::AbortScan);
    }
    if (!own) return;  // the window is closing
    if (*own != typed) path = NameToText(*own);
  }
  if (path.isEmpty()) {
    SetPathText(path);
    SetIdle(true);
    return;
  }
  if (!path.endsWith(QChar(kSeparator))) path += QChar(kSeparator);
  SetPathText(path);
  SetRootText(Text1->text());
  ListFolder(Text1->text());
}

void Form1::Command2_Click() {
  const std::optional<QString> parent = UpTarget(Text1->text(), Label1->text());
  if (!parent) return;
  SetPathText(*parent);
  ListFolder(Text1->text());
}

void Form1::ListView1_DblClick() {
  if (Busy) return;
  const QModelIndexList selected = ListView1->selectionModel()->selectedRows();
  if (selected.isEmpty()) return;
  int first = selected.front().row();
  for (const QModelIndex& index : selected) first = std::min(first, index.row());
  const QString tag = list_.Tag(first + 1);
  if (tag.isEmpty()) return;  // a file row
  SetPathText(tag);
  ListFolder(Text1->text());
}

void Form1::Text1_Change() {
  if (SuppressPathChange) return;
  SetRootText(QString());
  list_.Clear();
}

void Form1::ListView1_ColumnClick(int index) {
  if (list_.SortKey() == index - 1) {
    list_.SetSortOrder(list_.SortOrder() == 0 ? 1 : 0);
  } else {
    list_.SetSortKey(index - 1);
  }
  ShowSortIndicator();
}

void Form1::ShowSortIndicator() {
  ListView1->header()->setSortIndicator(
      list_.SortKey(), list_.SortOrder() == 0 ? Qt::AscendingOrder : Qt::DescendingOrder);
}

void Form1::closeEvent(QCloseEvent* event) {
  Form_Unload();
  event->accept();
}

void Form1::Form_Unload() { TallyrootModule::AbortScan = true; }

void Form1::ShowFolder(const QString& path) {
  const std::string folder = TextToName(path);
  SetIdle(false);
  {
    BusyCursor cursor;
    TallyrootModule::RunListing(folder);
  }
  if (TallyrootModule::AbortScan) return;  // the window is closing
  ShowReadState(path);
  SetIdle(true);
}

void Form1::SetIdle(bool idle) {
  Busy = !idle;
  Text1->setEnabled(idle);
  Command1->setEnabled(idle);
  Command2->setEnabled(idle);
}

void Form1::ShowReadState(const QString& path) {
  setWindowTitle(TallyrootModule::ListedFolderUnread
                     ? kTitle + QString::fromUtf8(" – %1 konnte nicht gelesen werden").arg(path)
                     : kTitle);
}

void Form1::ListFolder(const QString& path) {
  try {
    ShowFolder(path);
  } catch (const TallyrootModule::RootTotalMissing& error) {
    // The root's total has been evicted from the cache. Say so, and give the
    // user the window back with the rows listed so far.
    list_.Flush();
    ShowReadState(path);
    QMessageBox::critical(this, kTitle, QString::fromUtf8(error.what()));
    SetIdle(true);
  }
}

}  // namespace tallyroot
