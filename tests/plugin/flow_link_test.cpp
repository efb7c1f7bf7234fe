// The link's own datagrams: the offer once per opening, the answer to every
// offer, credit datagrams that never reach the bridge as messages, and an end
// that does not offer reading an offer as an end without flow control does.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "src/application/common/PcoipVchan/PcoipVchanDatagramSend.h"
#include "src/application/common/PcoipVchan/PcoipVchanFlowLink.h"
#include "src/application/common/PcoipVchan/PcoipVchanPaceLink.h"
#include "src/application/common/PcoipVchan/PcoipVchanPieceReassembler.h"
#include "src/application/common/PcoipVchan/PcoipVchanPlugin.h"
#include "tests/plugin/PluginFixture.h"

namespace {

using Messages = std::vector<std::string>;

std::string WithMarker(uint32_t marker, std::string datagram) {
  for (int i = 0; i < 4; ++i) datagram[static_cast<size_t>(i)] = static_cast<char>(marker >> (8 * i));
  return datagram;
}

// An offer or answer: sequence 0, no payload, the epoch in last_fragment.
std::string Marker(uint32_t marker, uint32_t epoch) {
  std::string datagram = WithMarker(marker, MakeDatagram(0, "", true));
  for (int i = 0; i < 4; ++i) datagram[static_cast<size_t>(12 + i)] = static_cast<char>(epoch >> (8 * i));
  return datagram;
}

class FlowLinkTest : public PluginTest {
 protected:
  void TearDown() override {
    SetFlowControlOfferedForTesting(true);
    SetPacingOfferedForTesting(true);
    PluginTest::TearDown();
  }
};

TEST_F(FlowLinkTest, OffersOncePerOpeningAnswersEveryOfferAndTakesItsDatagramsForNoMessage) {
  OpenChannel();
  const uint32_t epoch = SendDueFlowMarker();
  ASSERT_NE(epoch, 0u);
  EXPECT_EQ(SendDueFlowMarker(), 0u) << "offered twice on one opening";
  std::vector<std::string> sent = host().SentDatagrams();
  ASSERT_EQ(sent.size(), 1u);
  const DatagramHeader offer = HeaderOf(sent[0]);
  EXPECT_EQ(offer.marker, kFlowOfferMarker);
  EXPECT_EQ(offer.sequence, 0u);
  EXPECT_EQ(offer.payloadLength, 0u);
  EXPECT_EQ(offer.lastFragment, epoch);
  EXPECT_EQ(sent[0].size(), 16u);

  // The peer's offer, a credit datagram and a message in one delivery.
  Deliver({Marker(kFlowOfferMarker, 77),
           WithMarker(kFlowCreditMarker, MakeDatagram(0, std::string(28, '\0'), true)),
           MakeDatagram(0, "after", true)});
  EXPECT_EQ(WaitForPeerMessages(1), Messages{"after"});
  EXPECT_EQ(LinesContaining("the peer offers flow control").size(), 1u);
  EXPECT_TRUE(LinesContaining("to receive 0 bytes").empty());
  EXPECT_TRUE(LinesContaining("has not offered").empty());

  // Answered, with an answer that is itself never answered.
  const uint32_t answerEpoch = SendDueFlowMarker();
  ASSERT_EQ(host().SentDatagrams().size(), 2u);
  EXPECT_EQ(HeaderOf(host().SentDatagrams()[1]).marker, kFlowAnswerMarker);
  EXPECT_NE(answerEpoch, epoch);
  Deliver({Marker(kFlowAnswerMarker, 78), MakeDatagram(0, "next", true)});
  EXPECT_EQ(WaitForPeerMessages(1), Messages{"next"});
  EXPECT_EQ(SendDueFlowMarker(), 0u);

  // A new opening offers afresh.
  host().FireChannel(PCOIP_VCHAN_EVENT_OPEN_SUCCESS);
  EXPECT_NE(SendDueFlowMarker(), 0u);
  EXPECT_EQ(HeaderOf(host().SentDatagrams().back()).marker, kFlowOfferMarker);
}

TEST_F(FlowLinkTest, APeerThatDoesNotOfferIsNotedOncePerOpening) {
  OpenChannel();
  Deliver({MakeDatagram(0, "one", true), MakeDatagram(0, "two", true)});
  EXPECT_EQ(WaitForPeerMessages(2), (Messages{"one", "two"}));
  EXPECT_EQ(LinesContaining("the peer has not offered flow control").size(), 1u);
  host().FireChannel(PCOIP_VCHAN_EVENT_OPEN_SUCCESS);
  Deliver({MakeDatagram(0, "three", true)});
  EXPECT_EQ(WaitForPeerMessages(1), Messages{"three"});
  EXPECT_EQ(LinesContaining("the peer has not offered flow control").size(), 2u);
}

TEST_F(FlowLinkTest, AnEndThatDoesNotOfferReadsAnOfferAsAnEmptyMessage) {
  SetFlowControlOfferedForTesting(false);
  OpenChannel();
  EXPECT_EQ(SendDueFlowMarker(), 0u);
  EXPECT_TRUE(host().SentDatagrams().empty());
  Deliver({Marker(kFlowOfferMarker, 5), MakeDatagram(0, "after", true)});
  EXPECT_EQ(WaitForPeerMessages(1), Messages{"after"});
  EXPECT_EQ(LinesContaining("to receive 0 bytes in 1 packets").size(), 1u);
  EXPECT_EQ(SendDueFlowMarker(), 0u) << "an end that does not offer answered";
  EXPECT_TRUE(LinesContaining("flow control").empty());
}

// Pacing is offered after the peer's flow marker and only to a peer that has
// flow control; once both offered, every message of several datagrams goes
// numbered, so that one cut short can never be joined to the next; with an
// older peer messages stay as they were.
TEST_F(FlowLinkTest, OncePacingIsAgreedMessagesOfSeveralDatagramsGoNumbered) {
  for (bool peerPaces : {true, false}) {
    SCOPED_TRACE(peerPaces ? "the peer paces" : "the peer has flow control only");
    OpenChannel();
    ASSERT_NE(SendDueFlowMarker(), 0u);
    EXPECT_EQ(SendDueLinkReports(), platform::kInfinite);
    const size_t offerOnly = host().SentDatagrams().size();
    EXPECT_EQ(HeaderOf(host().SentDatagrams().back()).marker, kFlowOfferMarker)
        << "pacing offered to a peer not known to have flow control";

    std::vector<std::string> fromPeer = {Marker(kFlowAnswerMarker, 90)};
    if (peerPaces) fromPeer.push_back(Marker(kPaceOfferMarker, kPaceOfferVersion));
    fromPeer.push_back(MakeDatagram(0, "ready", true));
    Deliver(fromPeer);
    EXPECT_EQ(WaitForPeerMessages(1), Messages{"ready"});
    SendDueLinkReports();
    std::vector<std::string> sent = host().SentDatagrams();
    ASSERT_GT(sent.size(), offerOnly);
    EXPECT_EQ(HeaderOf(sent[offerOnly]).marker, kPaceOfferMarker);
    // A report on what arrived follows, only to a peer that paces.
    EXPECT_EQ(sent.size(), offerOnly + (peerPaces ? 2 : 1));
    EXPECT_EQ(HeaderOf(sent.back()).marker, peerPaces ? kFeedbackMarker : kPaceOfferMarker);
    EXPECT_EQ(PeerPaces(), peerPaces);

    const size_t before = sent.size();
    const std::string large(2 * PayloadSizeNow() + 10, 'L');
    SendOverPcoip("small");
    SendOverPcoip(large);
    sent = host().SentDatagrams();
    ASSERT_EQ(sent.size(), before + 4);
    EXPECT_EQ(HeaderOf(sent[before]).marker, 1u);
    uint32_t number = 0;
    for (uint32_t i = 0; i < 3; ++i) {
      const DatagramHeader header = HeaderOf(sent[before + 1 + i]);
      if (!peerPaces) {
        EXPECT_EQ(header.marker, 1u);
        EXPECT_EQ(header.sequence, i);
        continue;
      }
      EXPECT_EQ(header.marker, kPieceMarker);
      EXPECT_EQ(header.sequence, i + 1);
      EXPECT_EQ(header.lastFragment & 1u, i == 2 ? 1u : 0u);
      if (i == 0) number = header.lastFragment >> 1;
      EXPECT_EQ(header.lastFragment >> 1, number);
      EXPECT_NE(number, 0u);
    }
    host().FireChannel(PCOIP_VCHAN_EVENT_CLOSED);
    EXPECT_FALSE(PeerPaces()) << "the agreement outlived the channel";
  }
}

}  // namespace
