#include "AdConfig.h"

#include <QDir>
#include <QSettings>
#include <QStandardPaths>
#include <QUrl>

#include <iostream>

const TProbeTarget kDefaultProbeTarget{QStringLiteral("www.wikipedia.org"), 80};

namespace {

const QString kSection = QStringLiteral("Hirdetes");
const QString kProbeKey = QStringLiteral("probe");
const QString kAdServerKey = QStringLiteral("adserver");

std::optional<std::uint16_t> ParsePort(const QString& text) {
  bool ok = false;
  const uint port = text.toUInt(&ok);
  if (!ok || port == 0 || port > 65535) return std::nullopt;
  return static_cast<std::uint16_t>(port);
}

void Warn(const char* source, const QString& value) {
  std::cerr << "lombkalauz: " << source << ": cannot use \"" << value.toStdString()
            << "\"; ignored\n";
}

}  // namespace

std::optional<TProbeTarget> ParseProbeTarget(const QString& text) {
  const QString trimmed = text.trimmed();
  TProbeTarget target;
  const qsizetype colon = trimmed.lastIndexOf(QLatin1Char(':'));
  target.host = colon < 0 ? trimmed : trimmed.left(colon);
  if (colon >= 0) {
    const std::optional<std::uint16_t> port = ParsePort(trimmed.mid(colon + 1));
    if (!port) return std::nullopt;
    target.port = *port;
  }
  if (target.host.isEmpty()) return std::nullopt;
  return target;
}

std::optional<TAdServerSettings> ParseAdServerUrl(const QString& text) {
  const QUrl url(text.trimmed(), QUrl::StrictMode);
  if (!url.isValid() || url.scheme() != QLatin1String("mysql")) return std::nullopt;
  TAdServerSettings settings;
  settings.user = url.userName(QUrl::FullyDecoded);
  settings.password = url.password(QUrl::FullyDecoded);
  settings.host = url.host();
  settings.database = url.path(QUrl::FullyDecoded).mid(1);
  if (url.port() != -1) settings.port = static_cast<std::uint16_t>(url.port());
  if (settings.user.isEmpty() || settings.host.isEmpty() || settings.database.isEmpty() ||
      settings.database.contains(QLatin1Char('/')))
    return std::nullopt;
  return settings;
}

QString AdConfigFileName() {
  return QDir(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation))
      .filePath(QStringLiteral("lombkalauz.ini"));
}

TAdConfig LoadAdConfig(const QString& iniFile) {
  TAdConfig config{kDefaultProbeTarget, std::nullopt};
  const QSettings ini(iniFile, QSettings::IniFormat);
  const QString iniProbe = ini.value(kSection + "/" + kProbeKey).toString();
  const QString iniServer = ini.value(kSection + "/" + kAdServerKey).toString();
  if (!iniProbe.isEmpty()) {
    if (auto probe = ParseProbeTarget(iniProbe)) config.probe = *probe;
    else Warn("lombkalauz.ini probe", iniProbe);
  }
  if (!iniServer.isEmpty()) {
    config.server = ParseAdServerUrl(iniServer);
    if (!config.server) Warn("lombkalauz.ini adserver", QStringLiteral("(hidden)"));
  }
  if (qEnvironmentVariableIsSet(kProbeVariable)) {
    const QString value = qEnvironmentVariable(kProbeVariable);
    if (auto probe = ParseProbeTarget(value)) config.probe = *probe;
    else Warn(kProbeVariable, value);
  }
  if (qEnvironmentVariableIsSet(kAdServerVariable)) {
    const QString value = qEnvironmentVariable(kAdServerVariable);
    config.server = value.isEmpty() ? std::nullopt : ParseAdServerUrl(value);
    // The value holds a password: it is not repeated on the console.
    if (!value.isEmpty() && !config.server) Warn(kAdServerVariable, QStringLiteral("(hidden)"));
  }
  return config;
}
