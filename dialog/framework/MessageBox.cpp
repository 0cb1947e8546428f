#include "framework/MessageBox.h"

#include <QApplication>
#include <QMessageBox>

namespace fw {

namespace {
MessagePresenter& presenter() {
    static MessagePresenter p;
    return p;
}
} // namespace

void showMessage(QWidget* parent, const QString& text) {
    if (presenter()) {
        presenter()(parent, text);
        return;
    }
    QMessageBox::warning(parent, QApplication::applicationDisplayName(), text);
}

void setMessagePresenter(MessagePresenter p) {
    presenter() = std::move(p);
}

} // namespace fw
