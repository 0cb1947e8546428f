#include "resources/Resources.h"

#include "ui/ControlIds.h"

QIcon loadIcon(int id) {
    QIcon icon;
    if (id == IDR_MAINFRAME) {
        icon.addFile(QStringLiteral(":/icons/portula-32.png"), QSize(32, 32));
        icon.addFile(QStringLiteral(":/icons/portula-16.png"), QSize(16, 16));
    }
    return icon;
}
