// Helpers shared by the settings dialogs' window tests.
#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QWidget>
#include <ostream>
#include <vector>

#include "shell/message_catalogue.h"

inline void PrintTo(const QString& s, std::ostream* os) { *os << '"' << s.toStdString() << '"'; }

// Records every message box of the box function it binds instead of showing it.
struct BoxLog {
    std::vector<BoxRequest> boxes;
    explicit BoxLog(BoxFunction& bound) : slot(bound) {
        bound = [this](const BoxRequest& r) { boxes.push_back(r); };
    }
    ~BoxLog() { slot = nullptr; }
    BoxFunction& slot;
};

template <typename T = QWidget>
T* control(const QWidget* dialog, int id) {
    return dialog->findChild<T*>(QString::number(id));
}

inline void click(const QWidget* dialog, int id) {
    auto* button = control<QAbstractButton>(dialog, id);
    ASSERT_NE(button, nullptr) << id;
    button->click();
}
