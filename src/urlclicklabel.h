#ifndef URLCLICKLABEL_H
#define URLCLICKLABEL_H

#include <QLabel>
#include <QString>

class QMouseEvent;

// A label that opens its URL in the desktop's browser on any mouse press (the window's logo and
// banner). Owned by its parent widget; GUI thread.
class UrlClickLabel : public QLabel
{
public:
    explicit UrlClickLabel(QWidget* parent = nullptr);

    void setUrl(const QString& url);
    QString url() const { return m_url; }

protected:
    void mousePressEvent(QMouseEvent* event) override;

private:
    QString m_url;
};

#endif // URLCLICKLABEL_H
