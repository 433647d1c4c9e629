#include "style/icons.h"

#include <QFile>

namespace quorvale {

QIcon icon(const QString &name)
{
    const QString path = QStringLiteral(":/icons/") + name + QStringLiteral(".svg");
    Q_ASSERT_X(QFile::exists(path), "icon", qPrintable(name));
    return QIcon(path);
}

} // namespace quorvale
