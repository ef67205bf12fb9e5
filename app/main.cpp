#include <QApplication>

#include "app/kvupgradefrm.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationDisplayName(kApplicationTitle);
    WindowServices services;
    TKVUpgradeFrm window(services);
    window.FormCreate();
    window.show();
    QApplication::exec();
    window.FormDestroy();
    return 0;
}
