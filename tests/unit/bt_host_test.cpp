// The host port's BLE host: the GATT database, the air's ATT exchanges, indications and links,
// seen from camphone's ATT client on a kernel thread.
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "bt.h"
#include "camhost/ble_air.h"
#include "camphone/att_client.h"
#include "unit/host_fixture.h"

namespace {

const uint8_t kService[16] = {0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11,
                              0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11};
const uint8_t kLongChar[16] = {0x22, 0x22, 0x22, 0x22, 0x22, 0x22, 0x22, 0x22,
                               0x22, 0x22, 0x22, 0x22, 0x22, 0x22, 0x22, 0x22};
const uint8_t kRefusing[16] = {0x33, 0x33, 0x33, 0x33, 0x33, 0x33, 0x33, 0x33,
                               0x33, 0x33, 0x33, 0x33, 0x33, 0x33, 0x33, 0x33};

int longReads;
std::string callbackThreads;
uint8_t lastWrite[256];
uint8_t lastWriteLength;
int connects, disconnects, confirmations;
uint16_t lastConnHandle;
struct bt_gatt_char* longChar;
struct gatt_server_link* link;

void noteThread() { callbackThreads += std::string(os_thread_name(os_self())) + " "; }

bt_att_error_t longCb(uint8_t, bt_uuid_t*, bt_gatt_fcn_t rw, uint8_t* length, uint16_t,
                      uint8_t* data) {
  noteThread();
  if (rw == BT_GATT_FCN_WRITE) {
    memcpy(lastWrite, data, *length);
    lastWriteLength = *length;
    return BT_ATT_ERROR_SUCCESS;
  }
  longReads++;
  for (int i = 0; i < 250; i++) data[i] = static_cast<uint8_t>(i + longReads);
  *length = 250;
  return BT_ATT_ERROR_SUCCESS;
}

bt_att_error_t refusingCb(uint8_t, bt_uuid_t*, bt_gatt_fcn_t, uint8_t*, uint16_t, uint8_t*) {
  return static_cast<bt_att_error_t>(128);
}

bool cccdEnabled;
bt_att_error_t cccdCb(uint8_t, bt_uuid_t*, bt_gatt_fcn_t rw, uint8_t* length, uint16_t,
                      uint8_t* data) {
  if (rw == BT_GATT_FCN_READ) {
    data[0] = cccdEnabled ? 2 : 0;
    data[1] = 0;
    *length = 2;
    return BT_ATT_ERROR_SUCCESS;
  }
  if (*length != 2) return BT_ATT_ERROR_INVALID_ATTRIBUTE_VALUE_LENGTH;
  cccdEnabled = data[0] & 2;
  return BT_ATT_ERROR_SUCCESS;
}

gap_ops_t ops;

void onConnected(bt_hci_evt_le_conn_cmpl_t* e) {
  noteThread();
  connects++;
  lastConnHandle = e->handle;
  link = bt_gap_server_link_add(static_cast<uint8_t>(e->handle));
}
void onDisconnected(bt_hci_evt_disconn_complete_t*) {
  noteThread();
  disconnects++;
  bt_gap_server_link_remove(link);
  link = nullptr;
}
void onConfirmed() {
  noteThread();
  confirmations++;
}

class BtHost : public OnKernel {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/camble.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir = tmpl;
    path = dir + "/ble";
    ASSERT_TRUE(camhost::ble_listen(path));
    ops = {onConnected, onDisconnected, nullptr};
    ASSERT_TRUE(inst.call([] {
      bt_gap_init();
      common_server_create("QVRtest", 0, "Innophase Inc");
      bt_gatt_service* s = bt_gatt_create_service_128(kService);
      longChar = bt_gatt_add_char_128(s, kLongChar, 3, 0x2A, longCb);
      bt_gatt_add_desc_16(longChar, 0x2902, 3, 0x0A, cccdCb);
      bt_gatt_add_char_128(s, kRefusing, 1, 0x02, refusingCb);
      bt_gatt_add_service(s);
      const uint8_t addr[6] = {0x01, 0x02, 0x03, 0x04, 0x05, 0xC6};
      bt_gap_addr_set(bt_hci_addr_type_random, addr);
      bt_hci_addr_t zero{};
      bt_gap_discoverable_mode(GAP_DISCOVERABLE_MODE_GENERAL, bt_hci_addr_type_random,
                               bt_hci_addr_type_public, &zero, &ops);
      bt_gap_connectable_mode(GAP_CONNECTABLE_MODE_UNDIRECT, bt_hci_addr_type_random,
                              bt_hci_addr_type_public, &zero, &ops);
    }));
  }
  void TearDown() override {
    inst.halt();
    camhost::ble_close();
    unlink(path.c_str());
    rmdir(dir.c_str());
  }
  // Runs `fn` as the phone, on a kernel thread.
  void AsPhone(const std::function<void(camphone::AttClient&)>& fn) {
    ASSERT_TRUE(inst.call([&] {
      camphone::AttClient phone([](int fd, uint64_t usecs) {
        return camhost::wait_fds(&fd, 1, os_systime64() + usecs) > 0;
      });
      fn(phone);
    }));
  }
  std::string dir, path;
};

TEST_F(BtHost, ScanReportsTheNameAddressAndFlagsWhileAdvertising) {
  AsPhone([&](camphone::AttClient& phone) {
    camphone::Advert ad;
    ASSERT_TRUE(phone.scan(path, &ad));
    EXPECT_EQ(ad.name, "QVRtest");
    EXPECT_EQ(ad.addressType, 1);
    EXPECT_EQ(ad.address[5], 0xC6);
    EXPECT_EQ(ad.flags, 0x06);
  });
}

TEST_F(BtHost, ScanFindsNothingOnceAdvertisingIsOff) {
  AsPhone([&](camphone::AttClient& phone) {
    bt_hci_addr_t zero{};
    bt_gap_discoverable_mode(0, bt_hci_addr_type_random, bt_hci_addr_type_public, &zero, &ops);
    bt_gap_connectable_mode(0, bt_hci_addr_type_random, bt_hci_addr_type_public, &zero, &ops);
    camphone::Advert ad;
    EXPECT_FALSE(phone.scan(path, &ad, 3000000));
  });
}

TEST_F(BtHost, DiscoveryListsTheStandardServicesFirstAndHandlesInRegistrationOrder) {
  AsPhone([&](camphone::AttClient& phone) {
    ASSERT_TRUE(phone.connect(path));
    ASSERT_EQ(phone.exchangeMtu(247), 0);
    EXPECT_EQ(phone.mtu(), 247);
    ASSERT_EQ(phone.discover(), 0);
    const auto& c = phone.characteristics();
    ASSERT_EQ(c.size(), 5u);  // Device Name, Appearance, Manufacturer, ours x2
    EXPECT_EQ(c[0].uuid, (camphone::Bytes{0x00, 0x2A}));
    EXPECT_EQ(c[2].uuid, (camphone::Bytes{0x29, 0x2A}));
    EXPECT_EQ(c[3].uuid, camphone::Bytes(kLongChar, kLongChar + 16));
    EXPECT_EQ(c[3].properties, 0x2A);
    EXPECT_EQ(c[3].cccdHandle, c[3].valueHandle + 1);
    EXPECT_LT(c[3].valueHandle, c[4].valueHandle);
    camphone::Bytes v;
    ASSERT_EQ(phone.read(c[2].valueHandle, &v), 0);
    EXPECT_EQ(std::string(v.begin(), v.end()), "Innophase Inc");
  });
}

TEST_F(BtHost, ALongValueIsReadOnceAndServedByReadBlob) {
  AsPhone([&](camphone::AttClient& phone) {
    ASSERT_TRUE(phone.connect(path));
    ASSERT_EQ(phone.exchangeMtu(100), 0);
    ASSERT_EQ(phone.discover(), 0);
    camphone::Bytes v;
    ASSERT_EQ(phone.read(phone.characteristics()[3].valueHandle, &v), 0);
    ASSERT_EQ(v.size(), 250u);
    for (int i = 0; i < 250; i++) ASSERT_EQ(v[i], static_cast<uint8_t>(i + 1));
  });
  EXPECT_EQ(longReads, 1);
}

TEST_F(BtHost, AHandlersRefusalBecomesAnErrorResponseWithItsCode) {
  AsPhone([&](camphone::AttClient& phone) {
    ASSERT_TRUE(phone.connect(path));
    ASSERT_EQ(phone.discover(), 0);
    camphone::Bytes v;
    uint16_t h = phone.characteristics()[4].valueHandle;
    EXPECT_EQ(phone.read(h, &v), 128);
    EXPECT_EQ(phone.write(h, {1, 2}), 128);  // the permission mask does not stop it
    EXPECT_EQ(phone.write(phone.characteristics()[0].valueHandle, {1}), 3);  // a fixed value
    EXPECT_EQ(phone.read(0x7777, &v), 1);
    camphone::Bytes rsp;
    ASSERT_EQ(phone.raw({0x20, 0x01}, &rsp), 0);  // an unknown request
    EXPECT_EQ(rsp, (camphone::Bytes{0x01, 0x20, 0x00, 0x00, 0x06}));
  });
}

TEST_F(BtHost, AWriteReachesTheHandlerWithRoomForATerminator) {
  AsPhone([&](camphone::AttClient& phone) {
    ASSERT_TRUE(phone.connect(path));
    ASSERT_EQ(phone.exchangeMtu(247), 0);
    ASSERT_EQ(phone.discover(), 0);
    camphone::Bytes big(244, 'x');
    EXPECT_EQ(phone.write(phone.characteristics()[3].valueHandle, big), 0);
  });
  EXPECT_EQ(lastWriteLength, 244);
  EXPECT_EQ(lastWrite[244], 0);
}

TEST_F(BtHost, OneIndicationIsInFlightUntilThePhoneConfirmsIt) {
  AsPhone([&](camphone::AttClient& phone) {
    phone.autoConfirm = false;
    ASSERT_TRUE(phone.connect(path));
    ASSERT_EQ(phone.exchangeMtu(247), 0);
    ASSERT_NE(link, nullptr);
    uint8_t data[244] = {7};
    EXPECT_EQ(bt_gatt_indication(link, longChar, 244, data, onConfirmed), 0);
    EXPECT_NE(bt_gatt_indication(link, longChar, 1, data, onConfirmed), 0);
    uint16_t h;
    camphone::Bytes v;
    ASSERT_TRUE(phone.nextIndication(&h, &v, 1000000));
    EXPECT_EQ(v.size(), 244u);
    EXPECT_EQ(confirmations, 0);
    phone.confirm();
    for (int i = 0; i < 100 && confirmations == 0; i++) os_sleep_us(1000, OS_TIMEOUT_NO_WAKEUP);
    EXPECT_EQ(bt_gatt_indication(link, longChar, 1, data, onConfirmed), 0);  // the next may go
  });
  EXPECT_EQ(confirmations, 1);
}

TEST_F(BtHost, TerminatingTheLinkClosesThePhonesSocketAndCallsBackOnTheHostThread) {
  AsPhone([&](camphone::AttClient& phone) {
    ASSERT_TRUE(phone.connect(path));
    ASSERT_EQ(phone.exchangeMtu(247), 0);
    EXPECT_EQ(lastConnHandle & 0xFF, 0x40);
    EXPECT_EQ(bt_gap_terminate_connection(static_cast<uint8_t>(lastConnHandle), 0x44), 0);
    os_sleep_us(1000, OS_TIMEOUT_NO_WAKEUP);  // the host drops the link on its own thread
    camphone::Bytes v;
    EXPECT_EQ(phone.read(1, &v), camphone::kLinkLost);
  });
  EXPECT_EQ(connects, 1);
  EXPECT_EQ(disconnects, 1);
  EXPECT_EQ(callbackThreads, "bt bt ");
}

TEST_F(BtHost, ThePhoneClosingItsSocketIsADisconnection) {
  AsPhone([&](camphone::AttClient& phone) {
    ASSERT_TRUE(phone.connect(path));
    ASSERT_EQ(phone.exchangeMtu(247), 0);
    phone.close();
    os_sleep_us(1000, OS_TIMEOUT_NO_WAKEUP);
  });
  EXPECT_EQ(disconnects, 1);
}

}  // namespace

namespace {

// The capture decodes as ATT in tshark when it is installed; its layout is checked either way.
TEST_F(BtHost, TheCaptureHoldsEveryPduAsHciAclOnTheAttributeChannel) {
  std::string file = dir + "/ble.pcap";
  ASSERT_TRUE(camhost::ble_pcap(file));
  AsPhone([&](camphone::AttClient& phone) {
    ASSERT_TRUE(phone.connect(path));
    ASSERT_EQ(phone.exchangeMtu(247), 0);
    camphone::Bytes v;
    ASSERT_EQ(phone.read(3, &v), 0);
  });
  camhost::ble_close();
  FILE* f = fopen(file.c_str(), "rb");
  ASSERT_NE(f, nullptr);
  uint8_t b[4096];
  size_t n = fread(b, 1, sizeof b, f);
  fclose(f);
  ASSERT_GE(n, 24u + 16 + 13 + 3);
  EXPECT_EQ(b[20], 201);  // link type
  const uint8_t* r = b + 24 + 16;
  // Exchange MTU Request from the phone: received, ACL, handle 0x40, L2CAP length 3, CID 4.
  const uint8_t want[] = {0, 0, 0, 1, 0x02, 0x40, 0x20, 7, 0, 3, 0, 4, 0, 0x02, 247, 0};
  EXPECT_EQ(memcmp(r, want, sizeof want), 0);
  if (system("command -v tshark >/dev/null 2>&1") == 0) {
    std::string cmd = "tshark -r " + file + " 2>/dev/null";
    FILE* p = popen(cmd.c_str(), "r");
    std::string out;
    for (int ch; (ch = fgetc(p)) != EOF;) out += static_cast<char>(ch);
    pclose(p);
    EXPECT_NE(out.find("Exchange MTU Request"), std::string::npos) << out;
    EXPECT_NE(out.find("Read Response"), std::string::npos) << out;
  }
  unlink(file.c_str());
}

}  // namespace
