// The dialog with a serial library that has only the six contract functions.

#include "DialogHarness.h"

#include <dlfcn.h>

using testsupport::DialogTest;

namespace {

class SixFunctionsTest : public DialogTest {};

TEST_F(SixFunctionsTest, TheProgramRunsWithoutTheExtraExports) {
    EXPECT_EQ(::dlsym(RTLD_DEFAULT, "UARTCE_PortDevice"), nullptr) << "the stand-in is not bare";
    auto* ports = item<QComboBox>(IDC_PORT_LIST);
    for (int i = 0; i < ports->count(); ++i)
        EXPECT_EQ(ports->itemData(i, Qt::ToolTipRole).toString(), "") << "COM" << i + 1;

    choose(IDC_PORT_LIST, 2); // COM3 refuses
    click(IDC_OPEN_COM);
    EXPECT_TRUE(enabled(IDC_OPEN_COM)) << "a refused open leaves the dialog closed";
    EXPECT_FALSE(enabled(IDC_CLOSE_COM));
    EXPECT_EQ(dlg->GetDlgItem(IDC_OPEN_COM)->toolTip(), "") << "no reason to show";

    choose(IDC_PORT_LIST, 1);
    click(IDC_OPEN_COM);
    EXPECT_FALSE(enabled(IDC_OPEN_COM));
    EXPECT_TRUE(enabled(IDC_SEND_MESSAGE));
    click(IDC_SEND_MESSAGE);
    EXPECT_EQ(text(IDC_RECEIVE_TEXT), "Err_Code = 10");
    EXPECT_EQ(dlg->GetDlgItem(IDC_RECEIVE_TEXT)->toolTip(), "") << "a library without the words";
    click(IDC_CLOSE_COM);
}

} // namespace
