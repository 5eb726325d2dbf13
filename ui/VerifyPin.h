#ifndef KEYMGR_VERIFYPIN_H
#define KEYMGR_VERIFYPIN_H

#include <QDialog>
#include <QString>

class Ui_VerifyPin;

// Asks for the user PIN once, without any check. exec() returns 1 after OK (getUserPin() then gives
// the PIN, possibly empty), 0 after cancel, the close button and Esc.
class VerifyPin : public QDialog
{
    Q_OBJECT

public:
    explicit VerifyPin(QWidget* parent = nullptr);
    ~VerifyPin() override;

    QString getUserPin();

private slots:
    void on_btn_ok_clicked();
    void on_btn_cancel_clicked();

private:
    Ui_VerifyPin* ui;
    QString m_userPin;
};

#endif
