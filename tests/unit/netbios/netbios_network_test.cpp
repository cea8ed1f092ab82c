#include "netbios/netbios_network.h"

#include <gtest/gtest.h>

#include <vector>

#include "platform/netbios.h"
#include "support/scripted_netbios.h"

namespace lomp {
namespace {

using lomp::testing::ScriptedNetbios;

std::vector<int> Lanas(KrNetbiosNetwork& network) {
  std::vector<int> lanas;
  for (std::size_t i = 0; i < network.interfaces.size(); ++i) {
    lanas.push_back(network.Interface(i).lana);
  }
  return lanas;
}

TEST(KrNetbiosNetwork, EnumerateBuildsOneInterfacePerLana) {
  ScriptedNetbios netbios;
  KrNetbiosNetwork network;
  netbios.lanas = {};
  network.EnumerateInterfaces();
  EXPECT_TRUE(network.interfaces.empty());

  netbios.lanas = {4, 0, 9};
  network.EnumerateInterfaces();
  EXPECT_EQ(Lanas(network), (std::vector<int>{4, 0, 9}));
  const KrNetworkInterface* first = network.interfaces[0].get();

  network.EnumerateInterfaces();  // a fresh list: new objects
  EXPECT_EQ(Lanas(network), (std::vector<int>{4, 0, 9}));
  EXPECT_NE(network.interfaces[0].get(), first);
  EXPECT_FALSE(network.changed);

  netbios.enumCode = platform::NRC_SYSTEM;
  network.EnumerateInterfaces();
  EXPECT_TRUE(network.interfaces.empty());
}

TEST(KrNetbiosNetwork, UpdateKeepsKnownInterfacesAndOrder) {
  ScriptedNetbios netbios;
  KrNetbiosNetwork network;
  netbios.lanas = {1, 2, 3};
  network.EnumerateInterfaces();
  network.Interface(1).Reset();
  std::vector<const KrNetworkInterface*> objects;
  for (const auto& item : network.interfaces) objects.push_back(item.get());

  network.UpdateInterfaces();  // nothing changed
  EXPECT_FALSE(network.changed);
  EXPECT_EQ(network.interfaces[1].get(), objects[1]);
  EXPECT_EQ(network.Interface(1).isReset, 1);

  netbios.lanas = {3, 5, 1, 2};  // one new LANA, reported out of order
  network.UpdateInterfaces();
  EXPECT_TRUE(network.changed);
  EXPECT_EQ(Lanas(network), (std::vector<int>{1, 2, 3, 5}));
  EXPECT_EQ(network.interfaces[2].get(), objects[2]);

  network.changed = false;
  netbios.lanas = {1, 3, 5};  // LANA 2 vanished
  network.UpdateInterfaces();
  EXPECT_TRUE(network.changed);
  EXPECT_EQ(Lanas(network), (std::vector<int>{1, 3, 5}));
  EXPECT_EQ(network.interfaces[0].get(), objects[0]);
  EXPECT_EQ(network.interfaces[1].get(), objects[2]);

  network.changed = false;
  netbios.lanas = {1, 3, 5, 5};  // reported twice: still one object
  network.UpdateInterfaces();
  EXPECT_FALSE(network.changed);
  EXPECT_EQ(Lanas(network), (std::vector<int>{1, 3, 5}));

  netbios.enumCode = platform::NRC_SYSTEM;
  network.UpdateInterfaces();
  EXPECT_TRUE(network.interfaces.empty());
}

TEST(KrNetbiosInterface, ResetMarksTheInterfaceEvenWhenItFails) {
  ScriptedNetbios netbios;
  netbios.resetCodes[6] = platform::NRC_BRIDGE;
  KrNetbiosInterface interface(6);
  EXPECT_EQ(interface.isReset, 0);
  EXPECT_EQ(interface.Reset(), platform::NRC_BRIDGE);
  EXPECT_EQ(interface.isReset, 1);
  const auto reset = netbios.Submissions().back();
  EXPECT_EQ(reset.command, platform::NCBRESET);
  EXPECT_EQ(reset.lana, 6);
  EXPECT_EQ(static_cast<unsigned char>(reset.callname[0]), 250);
  EXPECT_EQ(static_cast<unsigned char>(reset.callname[2]), 250);
}

}  // namespace
}  // namespace lomp
