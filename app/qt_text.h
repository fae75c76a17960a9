#pragma once

#include <QString>
#include <string>

// The loader's texts are 8-bit strings (UTF-8); Qt's are QString.
inline QString Q(const std::string& s) {
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}
inline std::string S(const QString& s) {
    return s.toUtf8().toStdString();
}
