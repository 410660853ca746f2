// PLACEHOLDER: replaced by the chip simulator.
namespace kdx::sim {
int PlaceholderSymbol() { return 0; }
}  // namespace kdx::sim
