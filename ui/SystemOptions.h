#ifndef KEYMGR_SYSTEMOPTIONS_H
#define KEYMGR_SYSTEMOPTIONS_H

#include <QDialog>
#include <QString>

class Ui_SystemOptions;

// The System Options dialog: whether inserting a token opens the web site, and which address.
class SystemOptions : public QDialog {
    Q_OBJECT

public:
    explicit SystemOptions(QWidget* parent = nullptr);
    ~SystemOptions() override;

    void setURL(const QString& url);
    void setIsOpenURL(bool open);
    // The values accepted with the OK button.
    QString getURL() const { return m_url; }
    bool getIsOpenURL() const { return m_isOpenURL; }

private slots:
    void on_btn_ok_clicked();
    void on_btn_cancel_clicked();

private:
    Ui_SystemOptions* ui;
    QString m_url;
    bool m_isOpenURL = true;
};

#endif
