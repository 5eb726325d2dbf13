#include "MainWindow.h"

#include "ui_MainWindow.h"

#include "multilang.h"

#include <QStandardItemModel>

#include <cstring>

namespace {

struct LanguageEntry {
    int langID;
    const char* locale;
};

const LanguageEntry kLanguages[] = {{2052, "zh_CN"}, {1028, "zh_TW"}, {1033, "en_US"}};

struct Retext {
    QWidget* widget;
    unsigned long id;
    const char* defaultText;
};

}

void MainWindow::chooseLangByIndex(int index)
{
    if (selectLanguage(index))
        updateUIlang();
}

bool MainWindow::selectLanguage(int index)
{
    // The list holds three entries; anything else (-1 from a cleared list) is not a language.
    if (index < 0 || index > 2)
        return false;
    m_langID = kLanguages[index].langID;
    memset(m_localeName, 0, sizeof m_localeName);
    strncpy(m_localeName, kLanguages[index].locale, sizeof m_localeName - 1);
    return true;
}

void MainWindow::updateUIlang()
{
    updateUIlangFirst();
    slotEventChange();
}

void MainWindow::updateUIlangFirst()
{
    wx_ml_setPath(languageDir().toStdString());
    wx_ml_setPrefix("olvane");
    wx_ml_setCodePage(m_langID);

    setWindowTitle(QString::fromUtf8("Norvik银行国密Key管理工具"));
    m_devModel->setHorizontalHeaderLabels(QStringList() << tr(__(30002, "DevList").c_str()));
    ui->label_2->setText(QString::fromUtf8(m_version));
    ui->label_version->setText(QString::fromUtf8(m_version));
    ui->label_about->setText(tr("网上银行USB Key管理工具"));
    ui->label_bottom->setText(QString());

    const Retext table[] = {
        {ui->lab_changePIN_2, 32004, "Change User PIN"},
        {ui->lab_oldPIN, 32005, "Old User PIN"},
        {ui->lab_newPIN, 32006, "New User PIN"},
        {ui->lab_confirmPIN, 32007, "Confirm User PIN"},
        {ui->lab_changlabel_3, 32009, "USB Info"},
        {ui->lab_changlabel_4, 32010, "Change Label"},
        {ui->lab_newlabel, 32011, "New Label"},
        {ui->lab_PIN, 32012, "User PIN"},
        {ui->lab_VerifyPIN_2, 32013, "Verify User PIN"},
        {ui->lab_changeAuthKey, 32014, "Change DevAuthKey"},
        {ui->lab_oldDevAuthKey, 32015, "Old DevAuthKey"},
        {ui->lab_newDevAuthKey, 32016, "New DevAuthKey"},
        {ui->lab_ConfirmDevAuthKey, 32017, "Confirm DevAuthKey"},
        {ui->lab_Initialize, 32018, "Initialize"},
        {ui->lab_Init_DevAuthKey, 32019, "Dev Auth Key"},
        {ui->lab_Init_NewSOPIN, 32020, "New SO PIN"},
        {ui->lab_Init_NewUserPIN, 32021, "New User PIN"},
        {ui->lab_Init_LabelName, 32022, "New Label Name"},
        {ui->lab_UnblockPIN_4, 32023, "Unblock User PIN"},
        {ui->lab_SOPIN, 32024, "SO PIN"},
        {ui->lab_UserPIN, 32025, "New User PIN"},
        {ui->lab_confirmUserPIN, 32026, "Confirm User PIN"},
        {ui->lab_cert_2, 30001, "Data Manager"},
        {ui->btn_ChangeAuthKey, 32027, "Change Key"},
        {ui->btn_Initialize, 32028, "Initialize"},
        {ui->btn_UnblockPIN, 32029, "Unblock PIN"},
        {ui->btn_ChangeLabel, 32030, "Change Label"},
        {ui->btn_ChangePIN, 32031, "Change PIN"},
        {ui->btn_VerifyPIN, 32032, "Verify PIN"},
        {ui->btn_ViewCert, 32033, "View"},
        {ui->btn_ExpCert, 32034, "Export"},
        {ui->btn_DelCtn, 32035, "Delete"},
        {ui->btn_ChangeLab_OK, 30030, "OK"},
        {ui->btn_VerifyPIN_OK, 30030, "OK"},
        {ui->btn_ChangPIN_OK, 30030, "OK"},
        {ui->btn_ChangAuthKey_OK, 30030, "OK"},
        {ui->btn_Initialize_OK, 30030, "OK"},
        {ui->btn_UnblockPIN_OK, 30030, "OK"},
        {ui->chb_devAuthkey, 32044, "default"},
    };
    for (const Retext& entry : table) {
        QString text = tr(__(entry.id, entry.defaultText).c_str());
        if (auto* label = qobject_cast<QLabel*>(entry.widget))
            label->setText(text);
        else if (auto* button = qobject_cast<QAbstractButton*>(entry.widget))
            button->setText(text);
    }

    ui->cbx_lang->setItemText(0, tr(__(1000, "Chinese (Simplified)").c_str()));
    ui->cbx_lang->setItemText(1, tr(__(1001, "Chinese (Traditional)").c_str()));
    ui->cbx_lang->setItemText(2, tr(__(1002, "English").c_str()));
    if (m_libraryNotice)
        showLibraryNotice();
}
