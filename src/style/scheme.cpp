#include "style/scheme.h"

#include "style/navstyle.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusVariant>
#include <QStyle>
#include <QTimer>
#include <QWidget>

namespace quorvale::style {

namespace {

const QString portalService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString portalPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString portalSettings = QStringLiteral("org.freedesktop.portal.Settings");
const QString appearance = QStringLiteral("org.freedesktop.appearance");
const QString colorScheme = QStringLiteral("color-scheme");

Scheme s_current = Scheme::Light;

QPalette build(QColor window, QColor text, QColor base, QColor button, QColor highlight,
               QColor link)
{
    QPalette p(button, window);
    const auto both = [&p](QPalette::ColorRole role, const QColor &color) {
        p.setColor(QPalette::Active, role, color);
        p.setColor(QPalette::Inactive, role, color);
    };
    for (QPalette::ColorRole role :
         {QPalette::WindowText, QPalette::Text, QPalette::ButtonText, QPalette::ToolTipText})
        both(role, text);
    both(QPalette::Base, base);
    both(QPalette::AlternateBase, window);
    both(QPalette::ToolTipBase, base);
    both(QPalette::Highlight, highlight);
    both(QPalette::HighlightedText, Qt::white);
    both(QPalette::Link, link);
    both(QPalette::LinkVisited, link);
    both(QPalette::PlaceholderText, navstyle::secondary(p));
    for (QPalette::ColorRole role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
        p.setColor(QPalette::Disabled, role, navstyle::tertiary(p));
    p.setColor(QPalette::Disabled, QPalette::Base, window);
    return p;
}

} // namespace

QPalette palette(Scheme scheme)
{
    if (scheme == Scheme::Dark)
        return build(QColor(0x1e, 0x1e, 0x20), QColor(0xec, 0xec, 0xee), QColor(0x28, 0x28, 0x2b),
                     QColor(0x3a, 0x3a, 0x3e), QColor(0x2f, 0x6b, 0xd8), QColor(0x7a, 0xaa, 0xff));
    return build(QColor(0xf6, 0xf6, 0xf7), QColor(0x1d, 0x1d, 0x1f), Qt::white,
                 QColor(0xee, 0xee, 0xf0), QColor(0x2f, 0x6b, 0xd8), QColor(0x1f, 0x5b, 0xc8));
}

Scheme currentScheme()
{
    return s_current;
}

void applyScheme(Scheme scheme)
{
    s_current = scheme;
    QApplication::setPalette(palette(scheme));
    // Tones, and style sheets naming palette colours, took them from the palette of their day.
    // Only the widget itself is polished again: setting its sheet anew would restore the palettes
    // its children had when first polished.
    const QWidgetList widgets = QApplication::allWidgets();
    for (QWidget *widget : widgets) {
        navstyle::refreshTone(widget);
        if (widget->styleSheet().contains(QLatin1String("palette("))) {
            widget->style()->unpolish(widget);
            widget->style()->polish(widget);
            widget->update();
        }
    }
}

SchemeWatcher::SchemeWatcher(QObject *parent)
    : QObject(parent)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    bus.connect(portalService, portalPath, portalSettings, QStringLiteral("SettingChanged"), this,
                SLOT(portalSettingChanged(QDBusMessage)));
    QDBusMessage read = QDBusMessage::createMethodCall(portalService, portalPath, portalSettings,
                                                       QStringLiteral("Read"));
    read << appearance << colorScheme;
    // Asynchronous: a slow or missing portal never holds up the first window.
    auto *answer = new QDBusPendingCallWatcher(bus.asyncCall(read), this);
    connect(answer, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher *w) {
        const QDBusPendingReply<QDBusVariant> reply = *w;
        if (!reply.isError())
            takePortalValue(reply.value().variant());
        w->deleteLater();
    });
    qApp->installEventFilter(this);
    follow();
}

bool SchemeWatcher::eventFilter(QObject *watched, QEvent *event)
{
    // The theme changed, or someone replaced our palette (ours, set again, is no news).
    const bool platform = event->type() == QEvent::ThemeChange ||
                          (event->type() == QEvent::ApplicationPaletteChange && watched == qApp &&
                           QApplication::palette() != palette(s_current));
    // Every window hears of one change: look once, after they all did.
    if (platform && !m_following && !m_scheduled) {
        m_scheduled = true;
        QTimer::singleShot(0, this, [this] {
            m_scheduled = false;
            follow();
        });
    }
    return QObject::eventFilter(watched, event);
}

void SchemeWatcher::portalSettingChanged(const QDBusMessage &message)
{
    const QList<QVariant> arguments = message.arguments();
    if (arguments.size() == 3 && arguments[0].toString() == appearance &&
        arguments[1].toString() == colorScheme)
        takePortalValue(arguments[2]);
}

void SchemeWatcher::takePortalValue(const QVariant &value)
{
    // Read answers the value inside one more variant than SettingChanged does.
    QVariant v = value;
    while (v.metaType() == QMetaType::fromType<QDBusVariant>())
        v = qvariant_cast<QDBusVariant>(v).variant();
    bool ok = false;
    const uint preference = v.toUInt(&ok);
    m_portal = ok ? std::optional<uint>(preference) : std::nullopt;
    follow();
}

void SchemeWatcher::follow()
{
    m_following = true;
    Scheme scheme = Scheme::Light;
    if (m_portal == 1u || m_portal == 2u) {
        scheme = m_portal == 1u ? Scheme::Dark : Scheme::Light;
    } else {
        // Our own palette hides the platform's: drop it to read the theme's.
        QApplication::setPalette(QPalette());
        scheme = QApplication::palette().color(QPalette::Window).lightness() < 128 ? Scheme::Dark
                                                                                   : Scheme::Light;
    }
    applyScheme(scheme);
    m_following = false;
}

} // namespace quorvale::style
