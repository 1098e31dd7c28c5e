// The hint line: a new hint fades the old one out, is swapped in when almost invisible (and spoken
// when the box is ticked), and fades in again, all on the controller's 0.1-second timer.
#include "AppController.h"

#include <QCheckBox>
#include <QLabel>
#include <QPalette>

namespace {
constexpr float kFadeStep = 0.2f;
} // namespace

void AppController::setHelpText(const QString& text, bool onlyUpdateIfNew)
{
    if (onlyUpdateIfNew && !helpText.isNull() && text == helpText)
        return;
    helpText = text;
    // The opacity stays where it is: a fade in progress turns round from there.
    fadestate = 2;
}

void AppController::timer()
{
    // Reads outside the progress sheet (folders listed as the outline shows them, previews) show
    // at the next tick; so does damage those listings met.
    updateReadErrorCount();
    tellBrowseDamage();
    if (fadestate == 0)
        return;
    helpAlpha = float(double(helpAlpha) + (fadestate == 2 ? -double(kFadeStep) : double(kFadeStep)));
    if (helpTextView) {
        QPalette palette = helpTextView->palette();
        QColor red(Qt::red);
        red.setAlphaF(qBound(0.0f, helpAlpha, 1.0f));
        palette.setColor(QPalette::WindowText, red);
        helpTextView->setPalette(palette);
    }
    if (helpAlpha >= 1.0f) {
        fadestate = 0;
    } else if (double(helpAlpha) <= 0.2) {
        if (speakHintsCheckbox && speakHintsCheckbox->isChecked() && services.speech && !helpText.isEmpty())
            services.speech->speak(helpText);
        if (helpTextView) {
            helpTextView->setText(helpText);
            // A screen reader announces the hint by the line's name.
            helpTextView->setAccessibleName(helpText);
        }
        fadestate = 1;
    }
}

void AppController::speakHintsClick()
{
    const bool on = speakHintsCheckbox && speakHintsCheckbox->isChecked();
    logLine(QStringLiteral("speakHintsClick: %1").arg(on ? 1 : 0));
    if (on)
        setHelpText(helpText, false);
    else if (services.speech)
        services.speech->stop();
}
