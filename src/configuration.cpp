#include "configuration.h"

QString Configuration::updateBaseUrl;

Configuration::Configuration(QObject* parent)
    : QObject(parent)
{
}
