#pragma once

// The window's light and dark looks, and the watcher that follows the desktop's choice live:
// the freedesktop portal's colour-scheme setting, else the platform theme's own palette.

#include <QObject>
#include <QPalette>

#include <optional>

class QDBusMessage;

namespace quorvale::style {

enum class Scheme { Light, Dark };

QPalette palette(Scheme scheme);
// The scheme shown now (Light until one is applied).
Scheme currentScheme();
// Shows scheme in every window at once: the palette, the tones and the style sheets built on it.
void applyScheme(Scheme scheme);

class SchemeWatcher final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SchemeWatcher)

public:
    // Applies the platform's scheme at once, then the portal's when it answers.
    explicit SchemeWatcher(QObject *parent = nullptr);

public slots:
    // The portal's SettingChanged signal: group, key and value.
    void portalSettingChanged(const QDBusMessage &message);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void takePortalValue(const QVariant &value);
    void follow();

    // 1 prefers dark, 2 light, 0 (or no portal) leaves it to the platform theme.
    std::optional<uint> m_portal;
    bool m_following = false;
    bool m_scheduled = false;
};

} // namespace quorvale::style
