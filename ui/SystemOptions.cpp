#include "SystemOptions.h"

#include "ui_SystemOptions.h"

#include "MainWindow.h"
#include "multilang.h"

SystemOptions::SystemOptions(QWidget* parent) : QDialog(parent), ui(new Ui_SystemOptions)
{
    ui->setupUi(this);
    setWindowTitle(tr(__(32059, "系统选项").c_str()));
    ui->btn_ok->setText(tr(__(30080, "continue").c_str()));
    ui->btn_cancel->setText(tr(__(30081, "cancel").c_str()));
    ui->lineEdit_html->setText(QString::fromUtf8(kBankWebAddress));
    m_isOpenURL = true;
}

SystemOptions::~SystemOptions()
{
    delete ui;
}

void SystemOptions::setURL(const QString& url)
{
    ui->lineEdit_html->setText(url);
}

void SystemOptions::setIsOpenURL(bool open)
{
    if (open)
        ui->openHtml->setChecked(true);
    else
        ui->noOpenHtml->setChecked(true);
}

void SystemOptions::on_btn_ok_clicked()
{
    if (ui->lineEdit_html->text().isEmpty()) {
        ui->msg->setText(tr(__(32060, "请输入网址").c_str()));
        return;
    }
    m_url = ui->lineEdit_html->text();
    m_isOpenURL = ui->openHtml->isChecked();
    done(1);
}

void SystemOptions::on_btn_cancel_clicked()
{
    done(0);
}
