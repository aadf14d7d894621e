// The data-source dialog. See dsn_dialog.h.
#include "dsn_dialog.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSpinBox>
#include <QTabWidget>

#include <algorithm>
#include <cstring>

#include "identity.h"
#include "application.h"
#include "test_dialog.h"
#include "servers_dialog.h"
#include "help_viewer.h"
#include "installer.h"
#include "kyrpc.h"
#include "remote_stubs.h"
#include "trace.h"

namespace kyvek::setup {

namespace {

QString tr1(const char* text) { return QCoreApplication::translate("Form1", text); }

template <typename W>
W* make(QWidget* parent, const char* name, int x, int y, int w, int h) {
  W* widget = new W(parent);
  widget->setObjectName(name);
  widget->setGeometry(x, y, w, h);
  return widget;
}

QStringList split_servers(const QString& text) { return text.split(',', Qt::SkipEmptyParts); }

// What's This help, one page per field.
struct WhatsThis {
  const char* widget;
  const char* html;
};

const WhatsThis kWhatsThis[] = {
    {"name_eb",
     "<b>Name</b><p>The name of this data source: the name an application passes to "
     "SQLDriverConnect or SQLConnect and that SQLDataSources returns. It is the ODBC "
     "attribute DSN. Scripting interfaces pass it as DSN=name in a connection string or as "
     "the data source argument of their connect call.</p>"},
    {"desc_eb", "<b>Description</b><p>A description of this data source for your own use.</p>"},
    {"username_eb",
     "<b>Username</b><p>An operating system user on the server machine; the server becomes "
     "this user for the connection. It is not a database user. VEK connection string "
     "attribute: LogonUser. A user of a domain (PAM's user@domain) is written domain/user_name.</p>"},
    {"password_eb",
     "<b>Password</b><p>The password of the Username on the server machine. VEK connection "
     "string attribute: LogonAuth.</p>"},
    {"servers_eb",
     "<b>Servers</b><p>One or more entries server_name:port, separated by commas. The "
     "client tries them in order until one connects. VEK connection string attribute: "
     "ServerPort. The TargetDSN must exist as a SYSTEM data source on each server.</p>"},
    {"targetdsn_cb",
     "<b>TargetDSN</b><p>The SYSTEM data source on the server machine to connect to. VEK "
     "connection string attribute: TargetDSN.</p><p>The ... button asks the first server "
     "for its list of SYSTEM data sources (servers later than 1.5).</p>"},
    {"targetdsn_pb",
     "<p>The ... button asks the first server for its list of SYSTEM data sources (servers "
     "later than 1.5).</p>"},
    {"tusername_eb",
     "<b>TargetUser</b><p>The database user for the TargetDSN, passed as UID. It is used "
     "only when the application gives a DSN and no UID, unless Override UID/PWD is set. VEK "
     "connection string attribute: TargetUser.</p>"},
    {"tpassword_eb",
     "<b>TargetAuth</b><p>The password of the TargetUser, passed as PWD. VEK connection "
     "string attribute: TargetAuth.</p>"},
    {"bf_sb",
     "<b>BlockFetchSize</b><p>Automatic (not stored), or 0 (off) to 100: the number of rows "
     "fetched in one go and held in the client. Automatic: the driver reads ahead by itself "
     "where the application cannot tell (forward-only, read-only result sets read with "
     "SQLFetch and SQLGetData). A number: block fetch for forward-only, read-only result sets "
     "whose columns are bound before the first fetch. VEK connection string attribute: "
     "BlockFetchSize.</p>"},
    {"mdbf_cb",
     "<b>MetaDataBlockFetch</b><p>Block fetch for metadata calls such as SQLTables; on by "
     "default. 1 or 0. VEK connection string attribute: MetaDataBlockFetch.</p>"},
    {"usevekdbauth_cb",
     "<b>Override UID/PWD</b><p>Ignore UID and PWD in the connection string and use "
     "TargetUser and TargetAuth instead. 1 or 0. VEK connection string attribute: "
     "UseVEKDBAuth.</p>"},
    {"disguisewide_cb",
     "<b>Disguise Wide Characters</b><p>Report SQL_Wxxx columns as SQL_xxx columns. 1 or 0, "
     "default 0. VEK connection string attribute: DisguiseWide.</p>"},
    {"getinfopassthru_cb",
     "<b>Pass all SQLGetInfo requests through</b><p>Pass SQLGetInfo requests for the driver "
     "name, version and ODBC version to the remote driver. 1 or 0. VEK connection string "
     "attribute: GetInfoPassThru.</p>"},
    {"overridelength_cb",
     "<b>Override BufferLength arguments in SQLxxx requests for integer types</b><p>In "
     "SQLGetInfo, SQLGetConnectAttr, SQLGetStmtAttr and SQLGetDescField set the buffer "
     "length of integer values to the size of the integer type. 1 or 0. VEK connection "
     "string attribute: OverrideLength.</p>"},
    {"connectattempts_sb",
     "<b>Connection Attempts</b><p>1 to 99: how often to try a connection before failing. "
     "Set 1 when several servers are listed. VEK connection string attribute: "
     "ConnectAttempts.</p>"},
    {"mapexecdirect_cb",
     "<b>Map SQLExecDirect</b><p>For ODBC 2.0 applications: map SQLExecDirect to "
     "SQLPrepare and SQLExecute. 1 (on, the default) or 0. VEK connection string "
     "attribute: MapExecDirect.</p>"},
    {"ignore_stmt_attrs_eb",
     "<b>Block Statement Attributes</b><p>Numbers of statement attributes that "
     "SQLSetStmtAttr accepts with SQL_SUCCESS without passing them on, for example 1,10014. "
     "None by default. VEK connection string attribute: IgnoreStmtAttrs.</p>"},
};

}  // namespace

DsnDialog::DsnDialog(QWidget* parent, const char* name, bool modal, Qt::WindowFlags flags) : QDialog(parent, flags) {
  setObjectName(name ? name : "Form1");
  setModal(modal);
  setSizeGripEnabled(false);
  setFocusPolicy(Qt::NoFocus);
  build();
  languageChange();
  resize(QSize(442, 323).expandedTo(minimumSizeHint()));

  connect(ok_pb_, &QPushButton::clicked, this, &DsnDialog::ok_clicked);
  connect(help_pb_, &QPushButton::clicked, this, &DsnDialog::help_clicked);
  connect(tab_, &QTabWidget::currentChanged, this, &DsnDialog::tabChanged);
  connect(name_eb_, &QLineEdit::textChanged, this, &DsnDialog::ebTextChanged);
  connect(servers_eb_, &QLineEdit::textChanged, this, &DsnDialog::ebTextChanged);
  connect(targetdsn_cb_, &QComboBox::editTextChanged, this, &DsnDialog::ebTextChanged);
  connect(test_pb_, &QPushButton::clicked, this, &DsnDialog::test_clicked);
  connect(servers_pb_, &QPushButton::clicked, this, &DsnDialog::servers_clicked);
  connect(cancel_pb_, &QPushButton::clicked, this, &DsnDialog::cancel_clicked);
  connect(targetdsn_pb_, &QPushButton::clicked, this, &DsnDialog::populate_targetdsns);

  QWidget* order[] = {name_eb_,
                      desc_eb_,
                      servers_eb_,
                      servers_pb_,
                      username_eb_,
                      password_eb_,
                      targetdsn_cb_,
                      targetdsn_pb_,
                      tusername_eb_,
                      tpassword_eb_,
                      bf_sb_,
                      mdbf_cb_,
                      usevekdbauth_cb_,
                      getinfopassthru_cb_,
                      disguisewide_cb_,
                      mapexecdirect_cb_,
                      connectattempts_sb_,
                      test_pb_,
                      ok_pb_,
                      cancel_pb_,
                      help_pb_,
                      tab_};
  for (size_t i = 1; i < std::size(order); ++i) setTabOrder(order[i - 1], order[i]);

  struct Buddy {
    QLabel* label;
    QWidget* field;
  } buddies[] = {{name_label_, name_eb_},
                 {desc_label_, desc_eb_},
                 {servers_label_, servers_eb_},
                 {username_label_, username_eb_},
                 {password_label_, password_eb_},
                 {tdsn_label_, targetdsn_cb_},
                 {tusername_label_, tusername_eb_},
                 {tpassword_label_, tpassword_eb_},
                 {bf_label_, bf_sb_},
                 {mdbf_label_, mdbf_cb_},
                 {usevekdbauth_label_, usevekdbauth_cb_},
                 {getinfopassthru_label_, getinfopassthru_cb_},
                 {disguisewide_label_, disguisewide_cb_},
                 {disguisewide_label_2_, mapexecdirect_cb_},
                 {overridelength_label_, overridelength_cb_},
                 {connectattempts_label_, connectattempts_sb_},
                 {ignore_stmt_attrs_label_, ignore_stmt_attrs_eb_}};
  for (const Buddy& b : buddies) b.label->setBuddy(b.field);

  targetdsn_cb_->setEditable(true);
  targetdsn_cb_->setInsertPolicy(QComboBox::InsertAtBottom);
  targetdsn_cb_->setDuplicatesEnabled(false);
}

DsnDialog::~DsnDialog() {
  wipe(value_);
  password_eb_->clear();
  tpassword_eb_->clear();
}

void DsnDialog::build() {
  auto* grid = new QGridLayout(this);
  grid->setObjectName("Form1Layout");
  grid->setContentsMargins(11, 11, 11, 11);
  grid->setSpacing(6);
  tab_ = new QTabWidget(this);
  tab_->setObjectName("tab");
  tab_->setFocusPolicy(Qt::TabFocus);
  grid->addWidget(tab_, 0, 0, 1, 4);
  test_pb_ = new QPushButton(this);
  test_pb_->setObjectName("test_pb");
  ok_pb_ = new QPushButton(this);
  ok_pb_->setObjectName("ok_pb");
  ok_pb_->setEnabled(false);
  cancel_pb_ = new QPushButton(this);
  cancel_pb_->setObjectName("cancel_pb");
  help_pb_ = new QPushButton(this);
  help_pb_->setObjectName("help_pb");
  QPushButton* buttons[] = {test_pb_, ok_pb_, cancel_pb_, help_pb_};
  for (int i = 0; i < 4; ++i) {
    grid->addWidget(buttons[i], 1, i);
    // Enter in a field means OK, whichever button had the focus last.
    buttons[i]->setAutoDefault(false);
  }
  ok_pb_->setDefault(true);

  auto page = [&](const char* name) {
    QWidget* w = new QWidget(tab_);
    w->setObjectName(name);
    tab_->addTab(w, QString());
    return w;
  };
  dsn_tab_ = page("dsn_tab");
  name_clue_label_ = make<QLabel>(dsn_tab_, "name_clue_label", 10, 10, 390, 20);
  name_label_ = make<QLabel>(dsn_tab_, "name_label", 10, 40, 95, 22);
  name_eb_ = make<QLineEdit>(dsn_tab_, "name_eb", 110, 40, 290, 22);
  name_eb_->setMaxLength(32);
  desc_clue_label_ = make<QLabel>(dsn_tab_, "desc_clue_label", 10, 85, 390, 20);
  desc_label_ = make<QLabel>(dsn_tab_, "desc_label", 10, 115, 95, 22);
  desc_eb_ = make<QLineEdit>(dsn_tab_, "desc_eb", 110, 115, 290, 22);

  server_tab_ = page("server_tab");
  servers_clue_label_ = make<QLabel>(server_tab_, "servers_clue_label", 10, 5, 390, 36);
  servers_label_ = make<QLabel>(server_tab_, "servers_label", 10, 47, 70, 22);
  servers_eb_ = make<QLineEdit>(server_tab_, "servers_eb", 85, 47, 275, 22);
  servers_pb_ = make<QPushButton>(server_tab_, "servers_pb", 365, 47, 35, 22);
  servers_pb_->setEnabled(false);
  servers_pb_->setAutoDefault(false);
  auth_gb_ = make<QGroupBox>(server_tab_, "auth_gb", 10, 78, 390, 142);
  auth_clue_label_ = make<QLabel>(auth_gb_, "auth_clue_label", 10, 20, 370, 36);
  auth_clue_label_->setWordWrap(true);
  username_label_ = make<QLabel>(auth_gb_, "username_label", 10, 66, 80, 22);
  username_eb_ = make<QLineEdit>(auth_gb_, "username_eb", 95, 66, 280, 22);
  password_label_ = make<QLabel>(auth_gb_, "password_label", 10, 100, 80, 22);
  password_eb_ = make<QLineEdit>(auth_gb_, "password_eb", 95, 100, 280, 22);
  password_eb_->setEchoMode(QLineEdit::Password);

  tdsn_tab_ = page("tdsn_tab");
  tdsn_clue_label_ = make<QLabel>(tdsn_tab_, "tdsn_clue_label", 10, 5, 390, 36);
  tdsn_label_ = make<QLabel>(tdsn_tab_, "tdsn_label", 10, 47, 90, 22);
  targetdsn_cb_ = make<QComboBox>(tdsn_tab_, "targetdsn_cb", 105, 47, 255, 22);
  targetdsn_pb_ = make<QPushButton>(tdsn_tab_, "targetdsn_pb", 365, 47, 35, 22);
  targetdsn_pb_->setEnabled(false);
  targetdsn_pb_->setAutoDefault(false);
  tusername_clue_label_ = make<QLabel>(tdsn_tab_, "tusername_clue_label", 10, 82, 390, 20);
  tusername_label_ = make<QLabel>(tdsn_tab_, "tusername_label", 10, 106, 90, 22);
  tusername_eb_ = make<QLineEdit>(tdsn_tab_, "tusername_eb", 105, 106, 295, 22);
  tpassword_clue_label_ = make<QLabel>(tdsn_tab_, "tpassword_clue_label", 10, 142, 390, 20);
  tpassword_label_ = make<QLabel>(tdsn_tab_, "tpassword_label", 10, 166, 90, 22);
  tpassword_eb_ = make<QLineEdit>(tdsn_tab_, "tpassword_eb", 105, 166, 295, 22);
  tpassword_eb_->setEchoMode(QLineEdit::Password);

  optimisation_tab_ = page("optimisation_tab");
  bf_clue_label_ = make<QLabel>(optimisation_tab_, "bf_clue_label", 10, 5, 395, 52);
  bf_clue_label_->setWordWrap(true);
  bf_label_ = make<QLabel>(optimisation_tab_, "bf_label", 10, 63, 130, 22);
  bf_sb_ = make<QSpinBox>(optimisation_tab_, "bf_sb", 150, 63, 100, 22);
  bf_sb_->setRange(-1, 100);
  bf_sb_->setSpecialValueText("Automatic");  // -1: not stored, the driver reads ahead where nobody can tell
  mdbf_clue_label_ = make<QLabel>(optimisation_tab_, "mdbf_clue_label", 10, 103, 395, 36);
  mdbf_label_ = make<QLabel>(optimisation_tab_, "mdbf_label", 10, 145, 150, 22);
  mdbf_cb_ = make<QCheckBox>(optimisation_tab_, "mdbf_cb", 170, 145, 22, 22);
  mdbf_cb_->setChecked(true);

  settings_tab_ = page("settings_tab");
  int y = 6;
  auto row = [&](const char* label_name, QLabel** label, const char* field_name, auto** field, int width) {
    *label = make<QLabel>(settings_tab_, label_name, 10, y, 215, 22);
    *field = make<std::remove_reference_t<decltype(**field)>>(settings_tab_, field_name, 230, y, width, 22);
    y += 28;
  };
  row("usevekdbauth_label", &usevekdbauth_label_, "usevekdbauth_cb", &usevekdbauth_cb_, 22);
  row("getinfopassthru_label", &getinfopassthru_label_, "getinfopassthru_cb", &getinfopassthru_cb_, 22);
  row("disguisewide_label", &disguisewide_label_, "disguisewide_cb", &disguisewide_cb_, 22);
  row("disguisewide_label_2", &disguisewide_label_2_, "mapexecdirect_cb", &mapexecdirect_cb_, 22);
  row("overridelength_label", &overridelength_label_, "overridelength_cb", &overridelength_cb_, 22);
  row("connectattempts_label", &connectattempts_label_, "connectattempts_sb", &connectattempts_sb_, 60);
  connectattempts_sb_->setRange(1, 99);
  connectattempts_sb_->setValue(5);
  row("ignore_stmt_attrs_label", &ignore_stmt_attrs_label_, "ignore_stmt_attrs_eb", &ignore_stmt_attrs_eb_, 170);
  mapexecdirect_cb_->setChecked(true);
}

void DsnDialog::languageChange() {
  setWindowTitle(tr1("Vekamar DSN"));
  const struct {
    QWidget* page;
    const char* label;
  } tabs[] = {{dsn_tab_, "DSN"},
              {server_tab_, "Server"},
              {tdsn_tab_, "Target DSN"},
              {optimisation_tab_, "Optimisation"},
              {settings_tab_, "Settings"}};
  for (const auto& t : tabs) tab_->setTabText(tab_->indexOf(t.page), tr1(t.label));

  const struct {
    QLabel* label;
    const char* text;
  } labels[] = {
      {name_clue_label_, "What name do you want to use to refer to the data source?"},
      {name_label_, "&Name:"},
      {desc_clue_label_, "How do you want to describe the data source?"},
      {desc_label_, "&Description:"},
      {servers_clue_label_,
       "Add the servers where the remote ODBC data source is located,\nin the form "
       "Server:Port, for example myserver:8888"},
      {servers_label_, "&Servers:"},
      {auth_clue_label_, "Enter a valid username and password to login to the server machine."},
      {username_label_, "&Username:"},
      {password_label_, "&Password:"},
      {tdsn_clue_label_, "What is the name of the data source on the remote servers\nyou want to connect to?"},
      {tdsn_label_, "Target&DSN:"},
      {tusername_clue_label_, "What database username do you need to use?"},
      {tusername_label_, "Target&User:"},
      {tpassword_clue_label_, "What database password do you need to use?"},
      {tpassword_label_, "Target&Auth:"},
      {bf_clue_label_,
       "What BlockFetchSize do you want to use? BlockFetchSize is an\noptimisation which can "
       "speed up data retrieval for some applications."},
      {bf_label_, "&BlockFetchSize:"},
      {mdbf_clue_label_,
       "Do you want to use MetaDataBlockFetch?\nThis is BlockFetchMode for metadata like "
       "SQLTables."},
      {mdbf_label_, "&MetaDataBlockFetch:"},
      {usevekdbauth_label_, "&Override UID/PWD"},
      {getinfopassthru_label_, "&Pass all SQLGetInfo requests on"},
      {disguisewide_label_, "&Disguise wide characters"},
      {disguisewide_label_2_, "&Map SQLExecDirect"},
      {overridelength_label_, "Override &Length in SQLGetxxx"},
      {connectattempts_label_, "&Connection Attempts"},
      {ignore_stmt_attrs_label_, "&Block Statement Attributes"},
  };
  for (const auto& l : labels) l.label->setText(tr1(l.text));
  auth_gb_->setTitle(tr1("Server Authentication"));
  servers_pb_->setText(tr1("..."));
  targetdsn_pb_->setText(tr1("..."));
  test_pb_->setText(tr1("&Test"));
  test_pb_->setShortcut(QKeySequence(tr1("Alt+T")));
  ok_pb_->setText(tr1("OK"));
  cancel_pb_->setText(tr1("Cancel"));
  help_pb_->setText(tr1("Help"));

  const struct {
    QWidget* widget;
    const char* tip;
  } tips[] = {
      {name_eb_, "Data Source name used to refer to this data source"},
      {desc_eb_, "Description of this data source"},
      {servers_eb_, "Name of the machine where the VEK Server is running and the port it is listening on"},
      {servers_pb_, "Define and test VEK servers you want to connect to"},
      {username_eb_, "Operating System username for a user that can logon to the server machine(s)"},
      {password_eb_, "Password for user specified in Username"},
      {targetdsn_cb_, "Name of the SYSTEM data source on the remote server machine to connect to"},
      {targetdsn_pb_, "Contact Server for a list of System DSNs"},
      {tusername_eb_, "If required, the name of a valid database user for the TargetDSN"},
      {tpassword_eb_, "Password for the TargetUser"},
      {bf_sb_, "The number of rows to fetch in one go and hold in the VEK client"},
      {mdbf_cb_, "Whether to use BlockFetchMode for meta data"},
      {usevekdbauth_cb_,
       "Whether to ignore UID/PWD connection string attributes and use TargetUser/TargetAuth "
       "instead"},
      {getinfopassthru_cb_,
       "Pass SQLGetInfo requests for driver name, version and ODBC version through to the "
       "remote target ODBC driver"},
      {disguisewide_cb_, "Disguise wide character columns as normal character columns"},
      {mapexecdirect_cb_, "Map SQLExecDirect to SQLPrepare/SQLExecute"},
      {overridelength_cb_,
       "Set BufferLength argument in SQLGetxxx calls for integer types to the size of the "
       "integer type"},
      {connectattempts_sb_, "The number of times to attempt a connection before failing"},
      {ignore_stmt_attrs_eb_, "comma separated list of statement attributes to block"},
      {test_pb_, "Test this data source"},
      {ok_pb_, "Exit this DSN definition saving changes"},
      {cancel_pb_, "Exit this DSN definition discarding any changes"},
      {help_pb_, "Help on this dialogue"},
  };
  for (const auto& t : tips) t.widget->setToolTip(tr1(t.tip));
  for (const WhatsThis& w : kWhatsThis)
    if (QWidget* target = findChild<QWidget*>(w.widget)) target->setWhatsThis(tr1(w.html));
}

void DsnDialog::warn(const QString& caption, const QString& text, bool always) {
  if (interactive_ || always) {
    warning_box(this, caption, text);
  } else {
    SETUP_TRACE("%s: %s\n", caption.toUtf8().constData(), text.toUtf8().constData());
  }
}

int DsnDialog::parse_attributes(const char* attributes) { return kyvek::setup::parse_attributes(attributes, &attrs_); }

void DsnDialog::load_dsn() {
  DsnRecord r = kyvek::setup::load_dsn(attrs_, mode_, [this](const std::string& c, const std::string& t) {
    warn(QString::fromStdString(c), QString::fromStdString(t), true);
  });
  if (!r.name.empty()) {
    name_eb_->setText(QString::fromStdString(r.name));
    if (mode_ == kModeConfigure) name_eb_->setReadOnly(true);
  }
  desc_eb_->setText(QString::fromStdString(r.description));
  set_servers(split_servers(QString::fromStdString(r.servers)));
  username_eb_->setText(QString::fromStdString(r.logon_user));
  password_eb_->setText(QString::fromStdString(r.logon_auth));
  if (!r.target_dsn.empty()) targetdsn_cb_->addItem(QString::fromStdString(r.target_dsn));
  tusername_eb_->setText(QString::fromStdString(r.target_user));
  tpassword_eb_->setText(QString::fromStdString(r.target_auth));
  bf_sb_->setValue(r.block_fetch_size);
  mdbf_cb_->setChecked(r.metadata_block_fetch);
  usevekdbauth_cb_->setChecked(r.use_vek_db_auth);
  getinfopassthru_cb_->setChecked(r.getinfo_passthru);
  overridelength_cb_->setChecked(r.override_length);
  ignore_stmt_attrs_eb_->setText(QString::fromStdString(r.ignore_stmt_attrs));
  disguisewide_cb_->setChecked(r.disguise_wide);
  mapexecdirect_cb_->setChecked(r.map_exec_direct);
  connectattempts_sb_->setValue(r.connect_attempts);
}

DsnRecord DsnDialog::record() const {
  DsnRecord r;
  r.name = name_eb_->text().toStdString();
  r.driver = driver_;
  r.description = desc_eb_->text().toStdString();
  r.servers = servers_eb_->text().toStdString();
  r.logon_user = username_eb_->text().toStdString();
  r.logon_auth = password_eb_->text().toStdString();
  r.target_dsn = targetdsn_cb_->currentText().toStdString();
  r.target_user = tusername_eb_->text().toStdString();
  r.target_auth = tpassword_eb_->text().toStdString();
  r.block_fetch_size = bf_sb_->value();
  r.metadata_block_fetch = mdbf_cb_->isChecked();
  r.use_vek_db_auth = usevekdbauth_cb_->isChecked();
  r.getinfo_passthru = getinfopassthru_cb_->isChecked();
  r.override_length = overridelength_cb_->isChecked();
  r.ignore_stmt_attrs = ignore_stmt_attrs_eb_->text().toStdString();
  r.disguise_wide = disguisewide_cb_->isChecked();
  r.map_exec_direct = mapexecdirect_cb_->isChecked();
  r.connect_attempts = connectattempts_sb_->value();
  return r;
}

void DsnDialog::setAttributes(const char* attributes, const char* driver, int request, int interactive) {
  interactive_ = interactive != 0;
  mode_ = request;
  driver_ = driver ? driver : "";
  parse_attributes(attributes);
  load_dsn();
  if (mode_ == kModeConfigure && name_eb_->text().isEmpty()) {
    tab_->setTabEnabled(tab_->indexOf(dsn_tab_), false);
    name_check_ = false;
  }
}

const char* DsnDialog::attribute_value(const char* key) {
  if (!key) return nullptr;
  static const char* const kKeys[] = {
      "LOGONUSER",          "LOGONAUTH",    "TARGETDSN",    "TARGETUSER",      "TARGETAUTH",
      "SERVERPORT",         "SERVER",       "PORT",         "BLOCKFETCHSIZE",  "CONNECTATTEMPTS",
      "METADATABLOCKFETCH", "USEVEKDBAUTH", "DISGUISEWIDE", "GETINFOPASSTHRU", "OVERRIDELENGTH",
      "IGNORESTMTATTRS"};
  wipe(value_);
  if (std::none_of(std::begin(kKeys), std::end(kKeys), [&](const char* k) { return std::strcmp(k, key) == 0; }))
    return value_.c_str();
  SETUP_TRACE("Request for %s\n", key);
  value_ = record_value(record(), key);
  if (std::strcmp(key, "SERVER") == 0 || std::strcmp(key, "PORT") == 0)
    SETUP_TRACE("ServerPort = %s\n", value_.c_str());
  SETUP_TRACE("Returning : %s\n", masked(key, value_.c_str()));
  return value_.empty() ? nullptr : value_.c_str();
}

bool DsnDialog::validate_servers() {
  std::vector<std::string> list;
  bool ok = kyvek::setup::validate_servers(servers_eb_->text().toStdString(), &list);
  server_list_.clear();
  for (const std::string& s : list) server_list_ << QString::fromStdString(s);
  if (!ok) {
    warn("Server definition Error", "Server must be server:port[,server:port...]");
    tab_->setCurrentIndex(1);
  }
  return ok;
}

void DsnDialog::ok_clicked() {
  SETUP_TRACE("ok_clicked\n");
  QByteArray name = name_eb_->text().toUtf8();
  if (name_check_ && !valid_dsn(name.constData())) {
    tab_->setCurrentIndex(0);
    name_eb_->setFocus();
    warn("Invalid DSN", "Invalid Data Source Name. DSNs cannot contain []{}(),;?*=!@\\");
    return;
  }
  if (!validate_servers()) return;
  dsn_name_ = name_eb_->text();
  if (!name.isEmpty()) {
    std::string existing = read_ini_value(name.toStdString(), "DRIVER");
    if (!existing.empty()) {
      SETUP_TRACE("DSN: %s already existed - %s\n", name.constData(), existing.c_str());
      if (interactive_ && mode_ == kModeAdd) {
        QMessageBox ask(QMessageBox::Question, "Overwrite", QString("Overwrite DSN %1").arg(dsn_name_),
                        QMessageBox::Yes | QMessageBox::No, this);
        ask.setTextFormat(Qt::PlainText);
        if (ask.exec() != QMessageBox::Yes) return;
      }
    }
  }
  if (!driver_.empty()) {
    SaveResult saved = save_dsn(record());
    if (saved.error == SaveError::kInstaller) {
      for (const auto& [code, message] : saved.installer)
        warn("SQLRemoveDSNFromIni", QString::fromStdString(message), true);
      return;
    }
    if (!saved.ok()) {
      warn("Invalid DSN", QString::fromStdString(saved.message));
      return;
    }
  }
  accept();
}

int DsnDialog::ok2Test(const QString&) {
  bool servers = !servers_eb_->text().isEmpty();
  targetdsn_pb_->setEnabled(servers);
  ok_pb_->setEnabled(servers && !targetdsn_cb_->currentText().isEmpty());
  return ok_pb_->isEnabled() ? 1 : 0;
}

void DsnDialog::set_servers(const QStringList& servers) {
  servers_eb_->setText(servers.join(","));
  servers_eb_->setReadOnly(servers.size() >= 2);
  servers_eb_->setCursorPosition(0);
  servers_pb_->setEnabled(true);
}

void DsnDialog::help_clicked() { run_help(kHelpDsn); }

void DsnDialog::tabChanged(int page) { ok2Test(tab_->tabText(page)); }

void DsnDialog::ebTextChanged(const QString& text) { ok2Test(text); }

void DsnDialog::cancel_clicked() {
  SETUP_TRACE("Cancel hit\n");
  cancelled_ = true;
  reject();
}

void DsnDialog::test_clicked() {
  if (!validate_servers()) return;
  if (servers_eb_->text().isEmpty() || targetdsn_cb_->currentText().isEmpty()) {
    warning_box(this, "Incomplete information", "You need to enter at least a Server/Port and TargetDSN to test.");
    if (servers_eb_->text().isEmpty()) {
      tab_->setCurrentIndex(1);
      servers_eb_->setFocus();
    } else {
      tab_->setCurrentIndex(2);
      targetdsn_cb_->setFocus();
    }
    return;
  }
  auto flag = [](const QCheckBox* box) { return QString(box->isChecked() ? "1" : "0"); };
  TestDialog test;
  test.setValues(split_servers(servers_eb_->text()), username_eb_->text(), password_eb_->text(),
                 targetdsn_cb_->currentText(), tusername_eb_->text(), tpassword_eb_->text(), bf_sb_->text(),
                 flag(mdbf_cb_), flag(usevekdbauth_cb_), flag(getinfopassthru_cb_), flag(overridelength_cb_),
                 flag(disguisewide_cb_), connectattempts_sb_->text(), ignore_stmt_attrs_eb_->text());
  test.exec();
}

void DsnDialog::servers_clicked() {
  server_list_ = servers_eb_->text().split(',');
  ServersDialog servers;
  servers.setValues(server_list_, username_eb_->text(), password_eb_->text(), connectattempts_sb_->text());
  if (servers.exec() == QDialog::Accepted) {
    server_list_ = servers.server_list();
    set_servers(QStringList(server_list_));
  }
  ok2Test("Servers");
}

void DsnDialog::populate_targetdsns() {
  if (servers_eb_->text().isEmpty()) return;
  QString first = servers_eb_->text().split(',').value(0);
  QStringList pieces = first.split(':');
  QByteArray host = pieces.value(0).toUtf8();
  QByteArray port = pieces.value(1).toUtf8();
  // A port that is not a number would send the link nowhere; say so instead.
  if (!kyvek::setup::validate_servers(first.toStdString())) {
    warning_box(this, "Failed Connect", "Server must be server:port[,server:port...]");
    return;
  }
  RpcHandle* h = RPCAllocHandle();
  if (!h || RPCInitialise(h, RPC_MODE_CLIENT, 0) != 0) {
    if (h) RPCFreeHandle(h);
    warning_box(this, "Failed Connect", "Failed to Initialise RPC");
    return;
  }
  if (RPCSetTransportOpts(h, RPC_TRANSPORT_BSD, host.constData(), port.constData(), nullptr, nullptr, nullptr, "60",
                          nullptr) != 0) {
    RPCTerminate(h);
    RPCFreeHandle(h);
    warning_box(this, "Failed Connect", "Failed to set Transport Options");
    return;
  }
  // A server that does not answer holds the dialog no longer than this.
  RPCSetWaitLimit(h, kServerWaitMillis);
  QApplication::setOverrideCursor(Qt::WaitCursor);
  int connected = RPCConnect(h, KY_RPC_VERSION, KY_RPC_MINOR_VERSION, KY_RPC_PROGRAM_ID);
  QApplication::restoreOverrideCursor();
  if (connected != 0) {
    QString text = "Unable to retrieve remote DSN list\n";
    const char* reason = nullptr;
    RPCReportError(h, &reason);
    if (reason) text += QString::fromUtf8(reason);
    RPCTerminate(h);
    RPCFreeHandle(h);
    warning_box(this, "Failed Connect", text);
    return;
  }
  SETUP_TRACE("connected\n");
  char version[101] = {};
  int32_t length = 100;
  QString version_text =
      remote_server_get_info(h, 1, &length, version) == 0 ? QString::fromUtf8(version) : QString("Unknown");
  std::vector<char> dsns(2049, '\0');
  length = 2048;
  int32_t r = remote_server_get_info(h, 4, &length, dsns.data());
  if (r == 0) {
    SETUP_TRACE("dsns = %s\n", dsns.data());
    QStringList list = QString::fromUtf8(dsns.data()).split(',', Qt::SkipEmptyParts);
    list.sort();
    // The current target stays first (typed or loaded), and is not listed twice.
    const QString current = targetdsn_cb_->currentText();
    if (!current.isEmpty()) {
      list.removeAll(current);
      list.prepend(current);
    }
    targetdsn_cb_->clear();
    targetdsn_cb_->addItems(list);
  } else if (r == 1 && length > 0) {
    warning_box(this, "Remote System DSNs", QString::fromUtf8(dsns.data()));
  } else {
    warning_box(this, "Remote System DSNs",
                QString("Server does not support retrieval of system DSNs - Version %1 too old").arg(version_text));
  }
  SETUP_TRACE("Disconnecting\n");
  RPCDisconnect(h);
  RPCTerminate(h);
  RPCFreeHandle(h);
  SETUP_TRACE("Disconnected\n");
  targetdsn_cb_->showPopup();
}

}  // namespace kyvek::setup
