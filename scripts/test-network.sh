# Sourced by the scripts that try FlashKit on the simulated recorder.
# make_test_network PC REC PCLINK RECLINK: two namespaces joined by a veth pair; the pc side has
# 192.168.77.1/24, the recorder's card has the recorder's MAC and no address, as a recorder in
# network-boot mode has. The caller deletes both namespaces when it is done.
make_test_network() {
    local pc=$1 rec=$2 pclink=$3 reclink=$4
    ip netns add "$pc"
    ip netns add "$rec"
    ip link add "$pclink" netns "$pc" type veth peer name "$reclink" netns "$rec"
    ip -n "$pc" link set lo up
    ip -n "$rec" link set lo up
    ip -n "$pc" addr add 192.168.77.1/24 dev "$pclink"
    ip -n "$pc" link set "$pclink" up
    ip -n "$rec" link set "$reclink" address 02:5e:a1:30:01:01
    ip -n "$rec" link set "$reclink" up
}
