#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>

#include "app/kvupgradefrm.h"
#include "gui/network_controls.h"
#include "net/ipv4.h"
#include "support/fakes.h"
#include "support/network_fakes.h"

namespace {

using fk::testing::Card;

class NetworkWindowTest : public ::testing::Test {
  protected:
    void SetUp() override { deviceMac = fk::kRecorderMacPrefix; }

    // The window, shown and active so that focus moves can be seen.
    TKVUpgradeFrm& Window() {
        window = std::make_unique<TKVUpgradeFrm>(
            fk::WindowServices{messages, dialogs, sound, adapters, config, neighbours});
        fk::testing::EnsureNetworkControls(*window);
        window->show();
        QApplication::setActiveWindow(window.get());
        EXPECT_TRUE(QTest::qWaitForWindowActive(window.get()));
        return *window;
    }

    // Replaces a box's text the way the operator would: select all, then type.
    static void Type(QLineEdit* box, const char* keys) {
        box->setFocus();
        for (const char* key = keys; *key; ++key) QTest::keyClick(box, *key);
    }
    // Selects a card and runs the change handler once, whichever signal the layout wires.
    static void Pick(TKVUpgradeFrm& w, int index) {
        {
            const QSignalBlocker blocker(w.m_cbNetinfo);
            w.m_cbNetinfo->setCurrentIndex(index);
        }
        w.m_cbNetinfoChange();
    }
    static void Empty(QLineEdit* box) {
        box->setFocus();
        box->selectAll();
        QTest::keyClick(box, Qt::Key_Backspace);
    }

    fk::testing::FakeMessageBoxes messages;
    fk::testing::FakeFileDialogs dialogs;
    fk::testing::FakeSound sound;
    fk::testing::FakeAdapterSource adapters;
    fk::testing::FakeTcpipConfig config;
    fk::testing::FakeNeighbourTable neighbours;
    std::unique_ptr<TKVUpgradeFrm> window;
};

TEST_F(NetworkWindowTest, TwoHexCharactersMoveToTheNextBoxWithItsTextSelected) {
    auto& w = Window();
    Empty(w.editMac3);
    Type(w.editMac3, "ab");
    EXPECT_EQ(w.editMac3->text(), "AB");
    EXPECT_EQ(QApplication::focusWidget(), w.editMac4);
    EXPECT_EQ(w.editMac4->selectedText(), "FF");

    // Typing replaces the selected text and moves on again.
    Type(w.editMac4, "c7");
    EXPECT_EQ(w.editMac4->text(), "C7");
    EXPECT_EQ(QApplication::focusWidget(), w.editMac5);
    EXPECT_EQ(w.editMac5->selectedText(), "FF");
}

TEST_F(NetworkWindowTest, InvalidCharacterEmptiesTheBoxAndKeepsTheFocus) {
    auto& w = Window();
    Empty(w.editMac3);
    Type(w.editMac3, "g");
    EXPECT_EQ(w.editMac3->text(), "");
    EXPECT_EQ(QApplication::focusWidget(), w.editMac3);

    Type(w.editMac3, "1z");
    EXPECT_EQ(w.editMac3->text(), "");
    EXPECT_EQ(QApplication::focusWidget(), w.editMac3);

    // One character of FF deleted leaves a valid F; the focus stays.
    w.editMac4->setFocus();
    w.editMac4->end(false);
    QTest::keyClick(w.editMac4, Qt::Key_Backspace);
    EXPECT_EQ(w.editMac4->text(), "F");
    EXPECT_EQ(QApplication::focusWidget(), w.editMac4);
    // No message for typing errors, and deviceMac is untouched until Upload.
    EXPECT_TRUE(messages.Shown().empty());
    EXPECT_EQ(deviceMac, fk::kRecorderMacPrefix);
}

TEST_F(NetworkWindowTest, FullLastBoxMovesToTheBrowseButtonOfTheShowingTab) {
    auto& w = Window();
    w.ImgPageCtrl->setCurrentIndex(0);
    Empty(w.editMac5);
    Type(w.editMac5, "3c");
    EXPECT_EQ(QApplication::focusWidget(), w.BtnBrowseSys);

    w.ImgPageCtrl->setCurrentIndex(1);
    Empty(w.editMac5);
    Type(w.editMac5, "3c");
    EXPECT_EQ(QApplication::focusWidget(), w.BtnBrowseData);
}

TEST_F(NetworkWindowTest, CaptureTakesTheThreeBoxesAfterTheVendorPrefix) {
    auto& w = Window();
    w.editMac3->setText("1A");
    w.editMac4->setText("2B");
    w.editMac5->setText("3C");
    EXPECT_TRUE(w.CaptureDeviceMac());
    EXPECT_EQ(deviceMac, (fk::MacAddress{0x02, 0x5E, 0xA1, 0x1A, 0x2B, 0x3C}));

    w.editMac3->setText("FF");
    w.editMac4->setText("FF");
    w.editMac5->setText("FF");
    EXPECT_TRUE(w.CaptureDeviceMac());
    EXPECT_EQ(deviceMac, (fk::MacAddress{0x02, 0x5E, 0xA1, 0xFF, 0xFF, 0xFF}));

    w.editMac4->setText("7");
    EXPECT_TRUE(w.CaptureDeviceMac());
    EXPECT_EQ(deviceMac[4], 0x07);
    EXPECT_TRUE(messages.Shown().empty());
}

TEST_F(NetworkWindowTest, CaptureStopsAtAnEmptyBoxWithAMessageAndFocusOnIt) {
    auto& w = Window();
    deviceMac = {0x02, 0x5E, 0xA1, 0x11, 0x22, 0x33};
    w.editMac3->setText("1A");
    w.editMac4->setText("");
    w.editMac5->setText("3C");
    w.editMac3->setFocus();

    EXPECT_FALSE(w.CaptureDeviceMac());
    const auto shown = messages.Shown();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].text, "MAC address is invalid");
    EXPECT_EQ(shown[0].caption, "MAC address error");
    EXPECT_EQ(shown[0].icon, fk::platform::MessageIcon::Stop);
    EXPECT_EQ(shown[0].buttons, fk::platform::MessageButtons::Ok);
    EXPECT_EQ(QApplication::focusWidget(), w.editMac4);
    // Octets before the failing box are already taken; the rest keep their former values.
    EXPECT_EQ(deviceMac, (fk::MacAddress{0x02, 0x5E, 0xA1, 0x1A, 0x22, 0x33}));
}

TEST_F(NetworkWindowTest, CaptureSelectsTheTextOfAnInvalidBox) {
    auto& w = Window();
    // Text set by the program is not checked as typed text is.
    const QSignalBlocker blocker(w.editMac5);
    w.editMac5->setText("Z1");
    EXPECT_FALSE(w.CaptureDeviceMac());
    EXPECT_EQ(QApplication::focusWidget(), w.editMac5);
    EXPECT_EQ(w.editMac5->selectedText(), "Z1");
}

TEST_F(NetworkWindowTest, CardListShowsDescriptionsAndFirstCardsAddress) {
    adapters.query.adapters = {
        Card("enp0s3", "Intel Corporation 82540EM (enp0s3)", 2, "192.168.0.10"),
        Card("veth7", "veth7 (veth)", 9, "10.0.0.254")};
    auto& w = Window();
    w.LoadAdapterList();
    ASSERT_EQ(w.m_cbNetinfo->count(), 2);
    EXPECT_EQ(w.m_cbNetinfo->itemText(0), "Intel Corporation 82540EM (enp0s3)");
    EXPECT_EQ(w.m_cbNetinfo->itemText(1), "veth7 (veth)");
    EXPECT_EQ(w.m_cbNetinfo->currentIndex(), 0);
    EXPECT_EQ(w.m_ctrlAddrIp->text(), "192.168.0.10");
    EXPECT_EQ(w.HostAddress(), fk::ParseDottedQuad("192.168.0.10"));
    EXPECT_EQ(w.SelectedIfIndex(), 2);

    // The operator picks the second card: the label and the published values follow at once.
    w.m_cbNetinfo->setFocus();
    QTest::keyClick(w.m_cbNetinfo, Qt::Key_Down);
    EXPECT_EQ(w.m_cbNetinfo->currentIndex(), 1);
    EXPECT_EQ(w.m_ctrlAddrIp->text(), "10.0.0.254");
    EXPECT_EQ(w.HostAddress(), fk::ParseDottedQuad("10.0.0.254"));
    EXPECT_EQ(w.SelectedIfIndex(), 9);
}

// What the card watch sets off: the list and the plan follow the system; the selected card stays
// selected by its name (plugged in again it has another index) and the first is taken when it is
// gone.
TEST_F(NetworkWindowTest, CardListFollowsTheSystemKeepingTheSelectedCard) {
    adapters.query.adapters = {Card("eth0", "eth0 (ether)", 2, "192.168.0.10"),
                               Card("usb0", "usb0 (ether)", 5, "10.0.0.1")};
    auto& w = Window();
    w.LoadAdapterList();
    Pick(w, 1);
    adapters.query.adapters = {Card("eth0", "eth0 (ether)", 2, "192.168.0.10"),
                               Card("br0", "br0 (bridge)", 4, "10.9.0.1"),
                               Card("usb0", "usb0 (ether)", 7, "0.0.0.0")};
    w.FollowSystemCards();
    ASSERT_EQ(w.m_cbNetinfo->count(), 3);
    EXPECT_EQ(w.m_cbNetinfo->currentText(), "usb0 (ether)");
    EXPECT_EQ(w.m_ctrlAddrIp->text(), "0.0.0.0");
    EXPECT_EQ(w.SelectedIfIndex(), 7);
    adapters.query.adapters[2].ipAddress = "10.0.0.1";
    w.FollowSystemCards();
    EXPECT_EQ(w.m_ctrlAddrIp->text(), "10.0.0.1");
    EXPECT_EQ(w.HostAddress(), fk::ParseDottedQuad("10.0.0.1"));
    adapters.query.adapters.pop_back();
    w.FollowSystemCards();
    EXPECT_EQ(w.m_cbNetinfo->count(), 2);
    EXPECT_EQ(w.m_cbNetinfo->currentIndex(), 0);
    EXPECT_EQ(w.m_ctrlAddrIp->text(), "192.168.0.10");
    EXPECT_EQ(w.SelectedIfIndex(), 2);
}

TEST_F(NetworkWindowTest, CardWithoutAddressShowsItsConfiguredAddressOrZeros) {
    adapters.query.adapters = {Card("eth0", "eth0 (ether)", 2, "0.0.0.0", "0.0.0.0"),
                               Card("eth1", "eth1 (ether)", 3, "0.0.0.0", "0.0.0.0")};
    config.settings["eth0"] = {fk::ParseDottedQuad("192.168.1.20"), 0, 0};
    auto& w = Window();
    w.LoadAdapterList();
    EXPECT_EQ(w.m_ctrlAddrIp->text(), "192.168.1.20");
    // Shown, not announced with: the card does not hold it (a network manager took it away).
    EXPECT_EQ(w.HostAddress(), 0u);
    Pick(w, 1);
    EXPECT_EQ(w.m_ctrlAddrIp->text(), "0.0.0.0");
    EXPECT_EQ(w.HostAddress(), 0u);
    EXPECT_EQ(config.askedFor, (std::vector<std::string>{"eth0", "eth1"}));
}

TEST_F(NetworkWindowTest, FailedOrEmptyCardQueryLeavesTheListEmptyAndTheLabelAlone) {
    adapters.query.ok = false;
    adapters.query.adapters = {Card("eth0", "eth0", 2, "10.0.0.1")};
    auto& w = Window();
    w.m_ctrlAddrIp->setText("previous");
    w.LoadAdapterList();
    EXPECT_EQ(w.m_cbNetinfo->count(), 0);
    EXPECT_EQ(w.m_cbNetinfo->currentIndex(), -1);
    EXPECT_EQ(w.m_ctrlAddrIp->text(), "previous");
    EXPECT_TRUE(messages.Shown().empty());

    // The plan made afterwards works on the empty record: no address, not a broadcast one.
    w.UpdateAddressPlan();
    EXPECT_EQ(w.m_ctrlAddrIp->text(), "0.0.0.0");
    EXPECT_EQ(w.SelectedIfIndex(), 0);
}

TEST_F(NetworkWindowTest, NeighbourEntryGoesOnTheCardItIsGivenBoundToTheMac) {
    adapters.query.adapters = {Card("eth0", "eth0", 5, "192.168.0.10"),
                               Card("eth1", "eth1", 8, "10.1.1.1")};
    auto& w = Window();
    w.LoadAdapterList();
    deviceMac = {0x02, 0x5E, 0xA1, 0x1A, 0x2B, 0x3C};
    const fk::Ipv4 recorder = fk::ParseDottedQuad("192.168.0.11");

    w.SetDeviceArpEntry(w.SelectedIfIndex(), recorder, deviceMac, true);
    ASSERT_EQ(neighbours.Entries().size(), 1u);
    EXPECT_EQ(neighbours.Entries()[0].ifindex, 5);
    EXPECT_EQ(neighbours.Entries()[0].address, recorder);
    EXPECT_EQ(neighbours.Entries()[0].mac, deviceMac);

    // The card picked now: later entries go there; the earlier one stays until deleted.
    Pick(w, 1);
    w.SetDeviceArpEntry(w.SelectedIfIndex(), fk::ParseDottedQuad("10.1.1.2"), deviceMac, true);
    EXPECT_EQ(neighbours.Entries().size(), 2u);
    EXPECT_EQ(neighbours.Entries()[1].ifindex, 8);
    w.SetDeviceArpEntry(8, fk::ParseDottedQuad("10.1.1.2"), {}, false);
    w.SetDeviceArpEntry(8, 0, {}, false);
    ASSERT_EQ(neighbours.Entries().size(), 1u);
    EXPECT_EQ(neighbours.Entries()[0].ifindex, 5);
}

}  // namespace
