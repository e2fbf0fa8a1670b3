#include "urlclicklabel.h"

#include <QDesktopServices>
#include <QUrl>

UrlClickLabel::UrlClickLabel(QWidget* parent)
    : QLabel(parent)
{
}

void UrlClickLabel::setUrl(const QString& url)
{
    m_url = url;
}

void UrlClickLabel::mousePressEvent(QMouseEvent* event)
{
    Q_UNUSED(event);
    QDesktopServices::openUrl(QUrl(m_url, QUrl::TolerantMode));
}
