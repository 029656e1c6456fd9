// Renders the window to PNG files: the three pages, a search result and the detail window.
// Usage: lombkalauz_screenshots OUTPUT_DIRECTORY (run on Qt's offscreen platform). The lexicon
// database is written into a temporary directory, as the program writes it into its own.
#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTableView>
#include <QToolButton>

#include <iostream>

#include "MainLoop.h"
#include "MessageDialogs.h"
#include "Resources.h"
#include "Unit1.h"
#include "Unit2.h"

namespace {

bool Save(QWidget& window, const QString& directory, const QString& name) {
  QApplication::processEvents();
  const QString file = QDir(directory).filePath(name);
  const bool saved = window.grab().save(file);
  std::cout << (saved ? "wrote " : "could not write ") << file.toStdString() << std::endl;
  return saved;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  if (argc != 2) {
    std::cerr << "usage: lombkalauz_screenshots OUTPUT_DIRECTORY\n";
    return 2;
  }
  const QString output = QDir(QString::fromLocal8Bit(argv[1])).absolutePath();
  QDir().mkpath(output);
  QTemporaryDir workDirectory;
  QDir::setCurrent(workDirectory.path());

  TScriptedMessageDialogs dialogs({true}, &std::cerr);
  const TEmbeddedResources resources;
  TMainLoop mainLoop;
  TForm1 form1(dialogs, mainLoop, resources);
  TForm2 form2;
  form1.AttachWindows(&form2, nullptr);
  form1.show();
  form1.Timer1Timer();

  bool ok = Save(form1, output, "lexicon.png");
  form1.PageControl1->setCurrentIndex(1);
  form1.Edit1->setText(QStringLiteral("róka"));
  ok &= Save(form1, output, "search-page.png");
  form1.BitBtn1->click();
  form1.DBGrid1->setFocus();
  ok &= Save(form1, output, "search-result.png");
  form1.PageControl1->setCurrentIndex(2);
  ok &= Save(form1, output, "about.png");
  form1.PageControl1->setCurrentIndex(0);

  form2.Bind(form1.DataSource1);
  form2.NavNext->click();
  form2.show();
  ok &= Save(form2, output, "detail.png");
  form2.close();
  form1.close();  // answered Yes: the lexicon is closed and its file deleted
  return ok ? 0 : 1;
}
