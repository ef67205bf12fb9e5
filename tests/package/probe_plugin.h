#pragma once

// A plugin that a member of the flashkit group could put on QT_PLUGIN_PATH: the package check
// builds it and has the installed window load it, to prove that code loaded this way gains no
// network privilege. Named for PNG, so the window loads it as it reads its first icon.

#include <QImageIOPlugin>

class ProbePlugin final : public QImageIOPlugin {
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QImageIOHandlerFactoryInterface_iid FILE "probe_plugin.json")

  public:
    Capabilities capabilities(QIODevice*, const QByteArray&) const override { return {}; }
    QImageIOHandler* create(QIODevice*, const QByteArray&) const override { return nullptr; }
};
