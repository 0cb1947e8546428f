#pragma once
// Modal messages of the framework (validation refusals). Tests replace the presenter so that
// nothing blocks and the text can be read back.

#include <QString>
#include <functional>

class QWidget;

namespace fw {

using MessagePresenter = std::function<void(QWidget* parent, const QString& text)>;

void showMessage(QWidget* parent, const QString& text);
// An empty presenter restores the default, a modal warning box.
void setMessagePresenter(MessagePresenter presenter);

} // namespace fw
