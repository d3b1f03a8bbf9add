// Filling the German texts and loading Qt's German translation.
#include "platform/gui/gui_texts.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QTranslator>

namespace gui_text {

std::string Format(std::string_view pattern, std::string_view arg) {
  std::string out(pattern);
  for (const char* mark : {"%s", "%d"}) {
    if (const auto at = out.find(mark); at != std::string::npos) {
      out.replace(at, 2, arg);
      break;
    }
  }
  return out;
}

}  // namespace gui_text

bool LoadQtGermanTranslation(QCoreApplication& app) {
  auto translator = new QTranslator(&app);  // the application owns it
  if (!translator->load(QStringLiteral("qtbase_de"), QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
    delete translator;
    return false;
  }
  return QCoreApplication::installTranslator(translator);
}
