// The window over the lexicon: from start to the painted grid, and from a click on "Keresés
// indítása" to the updated grid and hit count, against the same search run straight through
// the engine API (what "vdb sql" runs), to show what the components and the window add.
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QProcessEnvironment>
#include <QPushButton>
#include <QTableView>
#include <QTemporaryDir>

#include <memory>
#include <string>

#include "BenchRatio.h"
#include "MainLoop.h"
#include "MessageDialogs.h"
#include "Resources.h"
#include "Unit1.h"
#include "Unit2.h"
#include "api/VdbApi.h"
#include "VdbText.h"

namespace {

const QString kSearchText = QStringLiteral("róka");
constexpr int kVisibleRows = 30;  // rows the grid shows without scrolling

// A window shown in a fresh directory, closed (answered Yes) when it goes.
struct TShownWindow {
  TShownWindow() : current(QDir::currentPath()) {
    QDir::setCurrent(directory.path());
    form = std::make_unique<TForm1>(dialogs, mainLoop, resources);
    form->show();
    form->DBGrid1->viewport()->grab();  // the first painted grid
  }
  ~TShownWindow() {
    dialogs.AddAnswer(true);
    form->close();
    form.reset();
    QDir::setCurrent(current);
  }
  QString current;
  QTemporaryDir directory;
  TScriptedMessageDialogs dialogs;
  TMainLoop mainLoop;
  TEmbeddedResources resources;
  std::unique_ptr<TForm1> form;
};

void BM_WindowStartToFirstPaint(benchmark::State& state) {
  for (auto _ : state) {
    auto window = std::make_unique<TShownWindow>();
    state.PauseTiming();
    window.reset();
    state.ResumeTiming();
  }
}

void BM_WindowSearch(benchmark::State& state) {
  TShownWindow window;
  TForm1& form = *window.form;
  for (auto _ : state) {
    form.Edit1->setText(kSearchText);
    form.BitBtn1->click();
    form.DBGrid1->viewport()->grab();
    benchmark::DoNotOptimize(form.Label12->text());
  }
}

// The same statement through the API on its own session: execute, count, read the headwords
// the grid shows first.
void BM_ApiSearch(benchmark::State& state) {
  TShownWindow window;  // provides the database file
  const std::string file = window.form->DatabaseFileName().toStdString();
  const VdbHandle session = VdbCreateSession(vdbtext::TApiText(std::string(".")));
  VdbSessOpenDb(session, vdbtext::TApiText(file), nullptr, nullptr, 40960, 0);
  const std::string sql = "Select * FROM Data WHERE CIMSZO like '%" + kSearchText.toStdString() +
                          "%' or LEIRAS like '%" + kSearchText.toStdString() + "%'ORDER By CIMSZO\r\n";
  for (auto _ : state) {
    const VdbHandle statement = VdbSessCreateStatement(session);
    VdbStmtSetSqlText(statement, vdbtext::TApiText(sql));
    VdbStmtPrepare(statement, VDB_CURSOR_LIVE);
    VdbStmtExecute(statement);
    const VdbHandle table = VdbStmtCreateResultTableHdl(statement);
    VdbStmtDelete(statement);
    benchmark::DoNotOptimize(VdbTableGetRowCount(table));
    VdbChar text[256];
    int16_t isNull = 0;
    int rows = 0;
    for (int32_t moved = VdbTableFirst(table); moved >= 0 && rows < kVisibleRows; moved = VdbTableMoveBy(table, 1), ++rows)
      VdbTableGetFieldText(table, 1, text, 255, &isNull);
    VdbTableDelete(table);
  }
  VdbSessCloseDb(session);
  VdbSessDelete(session);
}

// From starting the program to the end of its show handler (lexicon open, grid filled).
void BM_ProcessStartToShown(benchmark::State& state) {
  QTemporaryDir directory;
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
  environment.insert(QStringLiteral("LOMBKALAUZ_DIALOG_ANSWERS"), QString());
  for (auto _ : state) {
    QProcess program;
    program.setProcessEnvironment(environment);
    program.setWorkingDirectory(directory.path());
    program.setReadChannel(QProcess::StandardError);
    program.start(QStringLiteral(LOMBKALAUZ_PATH), {});
    QByteArray output;
    while (!output.contains("lombkalauz: shown") && program.waitForReadyRead(10000)) output += program.readAll();
    state.PauseTiming();
    program.kill();
    program.waitForFinished();
    QDir(directory.path()).removeRecursively();
    QDir().mkpath(directory.path());
    state.ResumeTiming();
  }
}

BENCHMARK(BM_WindowStartToFirstPaint)->Unit(benchmark::kMillisecond)->Iterations(10);
BENCHMARK(BM_ProcessStartToShown)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_WindowSearch)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_ApiSearch)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication application(argc, argv);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  vdbbench::TRatioReporter reporter(vdbbench::TRatioReporter::TClock::Real);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\n");
  reporter.PrintRatio("window search / the same search through the engine API", "BM_WindowSearch/min_time:2.000",
                      "BM_ApiSearch/min_time:2.000");
  benchmark::Shutdown();
  return 0;
}
