#pragma once

// Gives a window the controls the network handlers work on, wired as the layout wires them,
// for windows whose layout does not create them itself. Controls that exist are left alone.

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QVBoxLayout>
#include <QValidator>

#include "app/kvupgradefrm.h"

namespace fk::testing {

// Shows and stores what is typed in upper case, as the MAC boxes do.
class UpperCaseInput final : public QValidator {
  public:
    using QValidator::QValidator;
    State validate(QString& input, int&) const override {
        input = input.toUpper();
        return Acceptable;
    }
};

inline void EnsureNetworkControls(TKVUpgradeFrm& window) {
    auto* layout = window.layout() ? window.layout() : new QVBoxLayout(&window);
    if (!window.m_cbNetinfo) {
        window.m_cbNetinfo = new QComboBox(&window);
        layout->addWidget(window.m_cbNetinfo);
        QObject::connect(window.m_cbNetinfo, &QComboBox::currentIndexChanged, &window,
                         [&window] { window.m_cbNetinfoChange(); });
    }
    if (!window.m_ctrlAddrIp) {
        window.m_ctrlAddrIp = new QLabel(&window);
        layout->addWidget(window.m_ctrlAddrIp);
    }
    if (!window.editMac3) {
        QLineEdit** boxes[] = {&window.editMac3, &window.editMac4, &window.editMac5};
        void (TKVUpgradeFrm::*handlers[])() = {&TKVUpgradeFrm::editMac3Change,
                                               &TKVUpgradeFrm::editMac4Change,
                                               &TKVUpgradeFrm::editMac5Change};
        for (int n = 0; n < 3; ++n) {
            auto* box = new QLineEdit("FF", &window);
            box->setMaxLength(2);
            box->setValidator(new UpperCaseInput(box));
            layout->addWidget(box);
            *boxes[n] = box;
            QObject::connect(box, &QLineEdit::textChanged, &window,
                             [&window, handler = handlers[n]] { (window.*handler)(); });
        }
    }
    if (!window.ImgPageCtrl) {
        window.ImgPageCtrl = new QTabWidget(&window);
        window.SysImgPage = new QWidget;
        window.BtnBrowseSys = new QPushButton("Browse", window.SysImgPage);
        window.FontImgPage = new QWidget;
        window.BtnBrowseData = new QPushButton("Browse", window.FontImgPage);
        window.ImgPageCtrl->addTab(window.SysImgPage, "System Image");
        window.ImgPageCtrl->addTab(window.FontImgPage, "Data Image");
        layout->addWidget(window.ImgPageCtrl);
    }
    if (!window.BtnUpload) {
        window.BtnUpload = new QPushButton("&Upload", &window);
        layout->addWidget(window.BtnUpload);
    }
}

}  // namespace fk::testing
