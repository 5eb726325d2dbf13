#ifndef KEYMGR_SETPIN_H
#define KEYMGR_SETPIN_H

#include <QDialog>
#include <QString>

class Ui_SetPin;

// Asks for the old user PIN and a new one twice. exec() returns 1 only when the pair passes the
// dialog's password rules (the reason for a refusal shows inside the dialog); 0 for cancel, the
// close button and Esc. The dialog never talks to the token: the caller makes the change.
class SetPin : public QDialog
{
    Q_OBJECT

public:
    explicit SetPin(QWidget* parent = nullptr);
    ~SetPin() override;

    // The old and the new PIN of the accepted OK (empty before it); the fields are emptied then.
    void getOldPin(QString& pin);
    void getNewPin(QString& pin);

private slots:
    void on_btn_ok_clicked();
    void on_btn_exit_clicked();

private:
    void forgetPins();

    Ui_SetPin* ui;
    QString m_newPin;
    QString m_oldPin;
};

#endif
