#include "pinedit.h"

#include "passwordrules.h"

#include <QLineEdit>

namespace pinrules {

QString takePin(QLineEdit* edit)
{
    QString shared = edit->text();
    QString own(shared.constData(), shared.size());
    // text() shares the edit's own buffer, so clear() alone would free the PIN unwiped. The buffer is
    // overwritten only when the edit and this copy are its sole holders (a typed PIN), never when a
    // caller's string or literal data was set into the edit.
    QString::DataPtr d = shared.data_ptr();
    if (d->alloc != 0 && d->ref.atomic.loadRelaxed() == 2 && d->size > 0)
        wipe(const_cast<QChar*>(shared.constData()), std::size_t(d->size) * sizeof(QChar));
    shared = QString();
    // Not clear(): that keeps the removed characters in the edit's undo history.
    edit->setText(QString());
    return own;
}

void clearPin(QLineEdit* edit)
{
    QString pin = takePin(edit);
    wipe(pin);
}

} // namespace pinrules
