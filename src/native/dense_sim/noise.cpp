#include "noise.hpp"

#include <stdexcept>
#include <string>

#include "gates.hpp"
#include "imports.hpp"
#include "statevector/density.hpp"
#include "support/args.hpp"
#include "support/module.hpp"
#include "support/pyops.hpp"

namespace dense_sim {

namespace {

std::vector<std::vector<cplx>> matrices(nb::handle sequence, std::size_t side, nb::handle channel) {
    std::vector<std::vector<cplx>> values;
    for (nb::handle m : sequence) values.push_back(matrix_values(m, side, channel));
    return values;
}

// Runs `make`, turning the engine's std::invalid_argument into ValueError naming the channel.
template <class Make> auto made_for(const ChannelAfter &after, const Make &make) {
    try {
        return make();
    } catch (const std::invalid_argument &e) {
        throw nb::value_error((norvane::py_repr(after.channel) + " on qubits " + norvane::py_repr(nb::cast(after.targets)) +
                               ": " + e.what())
                                  .c_str());
    }
}

}  // namespace

nb::object checked_noise_model(nb::handle noise) {
    if (noise.is_none()) return nb::none();
    if (!norvane::is_instance(noise, norvane::imports<Imports>().noise_model))
        throw nb::type_error(("noise must be a NoiseModel or None, got " +
                              std::string(Py_TYPE(noise.ptr())->tp_name)).c_str());
    return nb::borrow(noise);
}

bool is_noisy(nb::handle model) { return !model.is_none() && !nb::bool_(model.attr("is_empty")); }

std::vector<ChannelAfter> channels_after(nb::handle model, nb::handle instruction) {
    std::vector<ChannelAfter> found;
    if (model.is_none()) return found;
    for (nb::handle pair : model.attr("channels_after")(instruction)) {
        ChannelAfter after{nb::borrow(pair[0]), {}};
        for (nb::handle q : pair[1]) after.targets.push_back(target_index(q));
        found.push_back(std::move(after));
    }
    return found;
}

std::shared_ptr<const statevector::NoiseChannel> trajectory_channel(const ChannelAfter &after, int n_qubits) {
    nb::tuple form = nb::cast<nb::tuple>(after.channel.attr("_sampling_terms")());
    const std::size_t side = std::size_t(1) << after.targets.size();
    if (!nb::bool_(form[0]))
        return made_for(after, [&] {
            return std::make_shared<const statevector::NoiseChannel>(
                statevector::NoiseChannel::kraus(n_qubits, after.targets, matrices(form[1], side, after.channel)));
        });
    std::vector<double> probabilities;
    std::vector<std::vector<cplx>> unitaries;
    bool changes = false;
    for (nb::handle term : form[1]) {
        probabilities.push_back(norvane::arg_float(term[0], "probability"));
        nb::object unitary = term[1];
        changes |= !unitary.is_none();
        unitaries.push_back(unitary.is_none() ? std::vector<cplx>() : matrix_values(unitary, side, after.channel));
    }
    if (!changes) return nullptr;
    return made_for(after, [&] {
        return std::make_shared<const statevector::NoiseChannel>(
            statevector::NoiseChannel::mixture(n_qubits, after.targets, probabilities, unitaries));
    });
}

statevector::PreparedGate density_channel_gate(const ChannelAfter &after, int n_qubits) {
    const std::size_t side = std::size_t(1) << after.targets.size();
    std::vector<std::vector<cplx>> operators = matrices(after.channel.attr("operators"), side, after.channel);
    return made_for(after, [&] { return statevector::density_channel(n_qubits, after.targets, operators); });
}

std::vector<statevector::ReadoutRates> readout_rates(nb::handle model, int n_qubits) {
    std::vector<statevector::ReadoutRates> rates;
    if (model.is_none()) return rates;
    bool any = false;
    for (int q = 0; q < n_qubits; ++q) {
        nb::object error = model.attr("readout_for")(q);
        statevector::ReadoutRates r;
        if (!error.is_none()) {
            r.p01 = norvane::arg_float(error.attr("p01"), "p01");
            r.p10 = norvane::arg_float(error.attr("p10"), "p10");
        }
        any |= r.p01 > 0.0 || r.p10 > 0.0;
        rates.push_back(r);
    }
    if (!any) rates.clear();
    return rates;
}

}  // namespace dense_sim
