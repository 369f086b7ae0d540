#include "runge_kutta.hpp"

#include <algorithm>
#include <cmath>
#include <sstream>
#include <vector>

#include "vector_ops.hpp"

namespace analog {

namespace {

// Machine rounding unit of the original codes; a step below 10 of them relative to t stops.
constexpr double kUround = 2.3e-16;
// Components of derivative evaluations between two polls: tens of microseconds of work, so a
// poll's clock read costs nothing measurable and an interruption is answered at once.
constexpr std::size_t kComponentsPerPoll = std::size_t(1) << 15;

// Step-size control as SciPy's `ode` configures the codes: safety factor and the bounds
// fac1 <= h_new / h <= fac2, with the Lund stabilisation exponent beta.
struct Controller {
    double safe, fac1, fac2, beta;
    int order;  // of the initial-step heuristic
};
constexpr Controller kDop853{0.9, 0.3, 6.0, 0.0, 8};
constexpr Controller kDopri5{0.9, 0.2, 10.0, 0.04, 5};

double sign_of(double magnitude, double sign) { return sign < 0 ? -std::fabs(magnitude) : std::fabs(magnitude); }

// Initial step guess: h such that h^order * max(|f0|, |f'|) = 0.01, from one explicit Euler
// step (norms weighted by atol + rtol |y|, not normalised by n).
double initial_step(OdeSystem &f, std::size_t n, double x, const double *y, double posneg, const double *f0,
                    double *f1, double *y1, int order, double hmax, const StepControl &c) {
    auto norms = blocked_sums<2>(n, [&](std::size_t i, std::array<double, 2> &acc) {
        double sk = c.atol + c.rtol * std::fabs(y[i]);
        acc[0] += (f0[i] / sk) * (f0[i] / sk);
        acc[1] += (y[i] / sk) * (y[i] / sk);
    });
    const double dnf = norms[0], dny = norms[1];
    double h = (dnf <= 1e-10 || dny <= 1e-10) ? 1.0e-6 : std::sqrt(dny / dnf) * 0.01;
    h = sign_of(std::min(h, hmax), posneg);
    for_range(n, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) y1[i] = y[i] + h * f0[i];
    });
    f.derivative(x + h, y1, f1);
    auto second = blocked_sums<1>(n, [&](std::size_t i, std::array<double, 1> &acc) {
        double sk = c.atol + c.rtol * std::fabs(y[i]);
        acc[0] += ((f1[i] - f0[i]) / sk) * ((f1[i] - f0[i]) / sk);
    });
    const double der2 = std::sqrt(second[0]) / h;
    const double der12 = std::max(std::fabs(der2), std::sqrt(dnf));
    const double h1 = der12 <= 1e-15 ? std::max(1.0e-6, std::fabs(h) * 1.0e-3) : std::pow(0.01 / der12, 1.0 / order);
    h = std::min({100 * std::fabs(h), h1, hmax});
    return sign_of(h, posneg);
}

// The loop shared by both methods: `step(x, h, y)` computes one trial step and returns its
// error in units of the tolerance; `accept()` moves to the new point.
template <class Stepper>
IntegrationStats drive(Stepper &method, const Controller &ctl, std::size_t n, double x, double xend,
                       const StepControl &c, const StepObserver *after_step) {
    if (!(xend > x)) throw std::invalid_argument("the integration interval must have positive length");
    IntegrationStats stats;
    const double expo1 = 1.0 / (ctl.order == 8 ? 8.0 : 5.0) - ctl.beta * (ctl.order == 8 ? 0.2 : 0.75);
    const double facc1 = 1.0 / ctl.fac1, facc2 = 1.0 / ctl.fac2;
    const double posneg = 1.0, hmax = std::fabs(xend - x);
    double facold = 1.0e-4;
    bool last = false, reject = false;
    method.first_derivative(x);
    double h = method.initial_step(x, posneg, hmax);
    stats.evaluations = 2;
    for (;;) {
        if (stats.steps > c.nsteps) {
            std::ostringstream message;
            message << "the integrator needs more than nsteps=" << c.nsteps << " steps to reach t=" << xend
                    << " (stopped at t=" << x << "); raise nsteps";
            throw IntegrationError(message.str());
        }
        if (0.1 * std::fabs(h) <= std::fabs(x) * kUround) {
            std::ostringstream message;
            message << "the integrator's step size became too small at t=" << x << " (h=" << h << ")";
            throw IntegrationError(message.str());
        }
        if ((x + 1.01 * h - xend) * posneg > 0.0) {
            h = xend - x;
            last = true;
        }
        ++stats.steps;
        double err = method.trial_step(x, h);
        stats.evaluations += method.stages_per_step();
        if (std::isnan(err)) {
            std::ostringstream message;
            message << "the solution stopped being a number at t=" << x << " (h=" << h
                    << "); the Hamiltonian's energies are too large for double precision";
            throw IntegrationError(message.str());
        }
        const double fac11 = std::pow(err, expo1);
        double fac = fac11 / std::pow(facold, ctl.beta);  // Lund stabilisation
        fac = std::max(facc2, std::min(facc1, fac / ctl.safe));
        double hnew = h / fac;
        if (err <= 1.0) {
            facold = std::max(err, 1.0e-4);
            ++stats.accepted;
            stats.evaluations += method.accept(x + h);
            x = x + h;
            method.reached(x);
            if ((after_step && (*after_step)(x)) || last) return stats;
            if (std::fabs(hnew) > hmax) hnew = posneg * hmax;
            if (reject) hnew = posneg * std::min(std::fabs(hnew), std::fabs(h));
            reject = false;
        } else {
            hnew = h / std::min(facc1, fac11 / ctl.safe);
            reject = true;
            if (stats.accepted >= 1) ++stats.rejected;
            last = false;
        }
        h = hnew;
    }
}

// Vectors of n components, allocated once per integration.
struct Work {
    explicit Work(std::size_t n, std::size_t count) : data(count, std::vector<double>(n)) {}
    std::vector<std::vector<double>> data;
    double *operator[](std::size_t i) { return data[i].data(); }
};

// What both methods hold: the system, the state, the tolerances and `vectors` work vectors,
// the first of which is f at the current point.
class Method {
public:
    Method(OdeSystem &f, std::size_t n, double *y, const StepControl &c, std::size_t vectors, int order,
           runtime::Poller *poll)
        : f_(f), n_(n), y_(y), c_(c), w_(n, vectors), order_(order), poll_(poll) {}

    void first_derivative(double x) { f_.derivative(x, y_, w_[0]); }
    double initial_step(double x, double posneg, double hmax) {
        return analog::initial_step(f_, n_, x, y_, posneg, w_[0], w_[1], w_[2], order_, hmax, c_);
    }
    // The integration has reached time t (a step was accepted there).
    void reached(double t) {
        if (poll_) poll_->reached(t);
    }

protected:
    // One stage: point = y + h * (a . k), then into = f(t, point).
    template <std::size_t M>
    void stage(double t, double h, const std::array<double, M> &a, const std::array<const double *, M> &k,
               double *point, double *into) {
        combine<M>(point, y_, h, a, k, n_);
        f_.derivative(t, point, into);
        if (poll_ && (since_poll_ += n_) >= kComponentsPerPoll) {
            since_poll_ = 0;
            (*poll_)();
        }
    }

    OdeSystem &f_;
    std::size_t n_;
    double *y_;
    StepControl c_;
    Work w_;
    int order_;
    runtime::Poller *poll_;
    std::size_t since_poll_ = 0;
};

// DOP853 coefficients (Hairer's dop853.f).
namespace c853 {
constexpr double c2 = 0.526001519587677318785587544488e-01, c3 = 0.789002279381515978178381316732e-01,
                 c4 = 0.118350341907227396726757197510e+00, c5 = 0.281649658092772603273242802490e+00,
                 c6 = 0.333333333333333333333333333333e+00, c7 = 0.25e+00,
                 c8 = 0.307692307692307692307692307692e+00, c9 = 0.651282051282051282051282051282e+00,
                 c10 = 0.6e+00, c11 = 0.857142857142857142857142857142e+00;
constexpr double b1 = 5.42937341165687622380535766363e-2, b6 = 4.45031289275240888144113950566e0,
                 b7 = 1.89151789931450038304281599044e0, b8 = -5.8012039600105847814672114227e0,
                 b9 = 3.1116436695781989440891606237e-1, b10 = -1.52160949662516078556178806805e-1,
                 b11 = 2.01365400804030348374776537501e-1, b12 = 4.47106157277725905176885569043e-2;
constexpr double bhh1 = 0.244094488188976377952755905512e+00, bhh2 = 0.733846688281611857341361741547e+00,
                 bhh3 = 0.220588235294117647058823529412e-01;
constexpr double er1 = 0.1312004499419488073250102996e-01, er6 = -0.1225156446376204440720569753e+01,
                 er7 = -0.4957589496572501915214079952e+00, er8 = 0.1664377182454986536961530415e+01,
                 er9 = -0.3503288487499736816886487290e+00, er10 = 0.3341791187130174790297318841e+00,
                 er11 = 0.8192320648511571246570742613e-01, er12 = -0.2235530786388629525884427845e-01;
constexpr double a21 = 5.26001519587677318785587544488e-2, a31 = 1.97250569845378994544595329183e-2,
                 a32 = 5.91751709536136983633785987549e-2, a41 = 2.95875854768068491816892993775e-2,
                 a43 = 8.87627564304205475450678981324e-2, a51 = 2.41365134159266685502369798665e-1,
                 a53 = -8.84549479328286085344864962717e-1, a54 = 9.24834003261792003115737966543e-1,
                 a61 = 3.7037037037037037037037037037e-2, a64 = 1.70828608729473871279604482173e-1,
                 a65 = 1.25467687566822425016691814123e-1, a71 = 3.7109375e-2,
                 a74 = 1.70252211019544039314978060272e-1, a75 = 6.02165389804559606850219397283e-2,
                 a76 = -1.7578125e-2;
constexpr double a81 = 3.70920001185047927108779319836e-2, a84 = 1.70383925712239993810214054705e-1,
                 a85 = 1.07262030446373284651809199168e-1, a86 = -1.53194377486244017527936158236e-2,
                 a87 = 8.27378916381402288758473766002e-3, a91 = 6.24110958716075717114429577812e-1,
                 a94 = -3.36089262944694129406857109825e0, a95 = -8.68219346841726006818189891453e-1,
                 a96 = 2.75920996994467083049415600797e1, a97 = 2.01540675504778934086186788979e1,
                 a98 = -4.34898841810699588477366255144e1, a101 = 4.77662536438264365890433908527e-1,
                 a104 = -2.48811461997166764192642586468e0, a105 = -5.90290826836842996371446475743e-1,
                 a106 = 2.12300514481811942347288949897e1, a107 = 1.52792336328824235832596922938e1,
                 a108 = -3.32882109689848629194453265587e1, a109 = -2.03312017085086261358222928593e-2;
constexpr double a111 = -9.3714243008598732571704021658e-1, a114 = 5.18637242884406370830023853209e0,
                 a115 = 1.09143734899672957818500254654e0, a116 = -8.14978701074692612513997267357e0,
                 a117 = -1.85200656599969598641566180701e1, a118 = 2.27394870993505042818970056734e1,
                 a119 = 2.49360555267965238987089396762e0, a1110 = -3.0467644718982195003823669022e0,
                 a121 = 2.27331014751653820792359768449e0, a124 = -1.05344954667372501984066689879e1,
                 a125 = -2.00087205822486249909675718444e0, a126 = -1.79589318631187989172765950534e1,
                 a127 = 2.79488845294199600508499808837e1, a128 = -2.85899827713502369474065508674e0,
                 a129 = -8.87285693353062954433549289258e0, a1210 = 1.23605671757943030647266201528e1,
                 a1211 = 6.43392746015763530355970484046e-1;
}  // namespace c853

class Dop853 : public Method {
public:
    Dop853(OdeSystem &f, std::size_t n, double *y, const StepControl &c, runtime::Poller *poll)
        : Method(f, n, y, c, 11, 8, poll) {}
    int stages_per_step() const { return 11; }

    double trial_step(double x, double h) {
        using namespace c853;
        double *k1 = w_[K1], *k2 = w_[K2], *k3 = w_[K3], *k4 = w_[K4], *k5 = w_[K5], *k6 = w_[K6],
               *k7 = w_[K7], *k8 = w_[K8], *k9 = w_[K9], *k10 = w_[K10], *y1 = w_[Y1];
        const double *y = y_;
        stage<1>(x + c2 * h, h, {a21}, {k1}, y1, k2);
        stage<2>(x + c3 * h, h, {a31, a32}, {k1, k2}, y1, k3);
        stage<2>(x + c4 * h, h, {a41, a43}, {k1, k3}, y1, k4);
        stage<3>(x + c5 * h, h, {a51, a53, a54}, {k1, k3, k4}, y1, k5);
        stage<3>(x + c6 * h, h, {a61, a64, a65}, {k1, k4, k5}, y1, k6);
        stage<4>(x + c7 * h, h, {a71, a74, a75, a76}, {k1, k4, k5, k6}, y1, k7);
        stage<5>(x + c8 * h, h, {a81, a84, a85, a86, a87}, {k1, k4, k5, k6, k7}, y1, k8);
        stage<6>(x + c9 * h, h, {a91, a94, a95, a96, a97, a98}, {k1, k4, k5, k6, k7, k8}, y1, k9);
        stage<7>(x + c10 * h, h, {a101, a104, a105, a106, a107, a108, a109}, {k1, k4, k5, k6, k7, k8, k9}, y1, k10);
        stage<8>(x + c11 * h, h, {a111, a114, a115, a116, a117, a118, a119, a1110}, {k1, k4, k5, k6, k7, k8, k9, k10}, y1, k2);
        stage<9>(x + h, h, {a121, a124, a125, a126, a127, a128, a129, a1210, a1211},
                 {k1, k4, k5, k6, k7, k8, k9, k10, k2}, y1, k3);
        // k4: the 8th-order increment; k5: the new point.
        for_range(n_, [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) {
                k4[i] = b1 * k1[i] + b6 * k6[i] + b7 * k7[i] + b8 * k8[i] + b9 * k9[i] + b10 * k10[i] + b11 * k2[i] +
                        b12 * k3[i];
                k5[i] = y[i] + h * k4[i];
            }
        });
        const double atol = c_.atol, rtol = c_.rtol;
        auto sums = blocked_sums<2>(n_, [&](std::size_t i, std::array<double, 2> &acc) {
            double sk = atol + rtol * std::max(std::fabs(y[i]), std::fabs(k5[i]));
            double erri = k4[i] - bhh1 * k1[i] - bhh2 * k9[i] - bhh3 * k3[i];
            acc[1] += (erri / sk) * (erri / sk);
            erri = er1 * k1[i] + er6 * k6[i] + er7 * k7[i] + er8 * k8[i] + er9 * k9[i] + er10 * k10[i] + er11 * k2[i] +
                   er12 * k3[i];
            acc[0] += (erri / sk) * (erri / sk);
        });
        double err = sums[0], err2 = sums[1];
        double deno = err + 0.01 * err2;
        if (deno <= 0.0) deno = 1.0;
        return std::fabs(h) * err * std::sqrt(1.0 / (double(n_) * deno));
    }

    int accept(double xph) {
        double *k4 = w_[K4], *k5 = w_[K5];
        f_.derivative(xph, k5, k4);
        std::swap(w_.data[K1], w_.data[K4]);  // k1 = f(new point)
        double *y = y_;
        for_range(n_, [&](std::size_t begin, std::size_t end) { std::copy(k5 + begin, k5 + end, y + begin); });
        return 1;
    }

private:
    enum { K1, K2, K3, K4, K5, K6, K7, K8, K9, K10, Y1 };
};

// DOPRI5 coefficients (Hairer's dopri5.f).
namespace cdp5 {
constexpr double c2 = 0.2, c3 = 0.3, c4 = 0.8, c5 = 8.0 / 9.0;
constexpr double a21 = 0.2, a31 = 3.0 / 40.0, a32 = 9.0 / 40.0, a41 = 44.0 / 45.0, a42 = -56.0 / 15.0,
                 a43 = 32.0 / 9.0, a51 = 19372.0 / 6561.0, a52 = -25360.0 / 2187.0, a53 = 64448.0 / 6561.0,
                 a54 = -212.0 / 729.0, a61 = 9017.0 / 3168.0, a62 = -355.0 / 33.0, a63 = 46732.0 / 5247.0,
                 a64 = 49.0 / 176.0, a65 = -5103.0 / 18656.0, a71 = 35.0 / 384.0, a73 = 500.0 / 1113.0,
                 a74 = 125.0 / 192.0, a75 = -2187.0 / 6784.0, a76 = 11.0 / 84.0;
constexpr double e1 = 71.0 / 57600.0, e3 = -71.0 / 16695.0, e4 = 71.0 / 1920.0, e5 = -17253.0 / 339200.0,
                 e6 = 22.0 / 525.0, e7 = -1.0 / 40.0;
}  // namespace cdp5

class Dopri5 : public Method {
public:
    Dopri5(OdeSystem &f, std::size_t n, double *y, const StepControl &c, runtime::Poller *poll)
        : Method(f, n, y, c, 8, 5, poll) {}
    int stages_per_step() const { return 6; }

    double trial_step(double x, double h) {
        using namespace cdp5;
        double *k1 = w_[K1], *k2 = w_[K2], *k3 = w_[K3], *k4 = w_[K4], *k5 = w_[K5], *k6 = w_[K6],
               *y1 = w_[Y1], *ysti = w_[YSTI];
        const double *y = y_;
        stage<1>(x + c2 * h, h, {a21}, {k1}, y1, k2);
        stage<2>(x + c3 * h, h, {a31, a32}, {k1, k2}, y1, k3);
        stage<3>(x + c4 * h, h, {a41, a42, a43}, {k1, k2, k3}, y1, k4);
        stage<4>(x + c5 * h, h, {a51, a52, a53, a54}, {k1, k2, k3, k4}, y1, k5);
        const double xph = x + h;
        stage<5>(xph, h, {a61, a62, a63, a64, a65}, {k1, k2, k3, k4, k5}, ysti, k6);
        stage<5>(xph, h, {a71, a73, a74, a75, a76}, {k1, k3, k4, k5, k6}, y1, k2);
        for_range(n_, [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i)
                k4[i] = (e1 * k1[i] + e3 * k3[i] + e4 * k4[i] + e5 * k5[i] + e6 * k6[i] + e7 * k2[i]) * h;
        });
        const double atol = c_.atol, rtol = c_.rtol;
        auto sums = blocked_sums<1>(n_, [&](std::size_t i, std::array<double, 1> &acc) {
            double sk = atol + rtol * std::max(std::fabs(y[i]), std::fabs(y1[i]));
            acc[0] += (k4[i] / sk) * (k4[i] / sk);
        });
        return std::sqrt(sums[0] / double(n_));
    }

    int accept(double) {
        // k1 = f(new point), already computed as the last stage (first same as last).
        std::swap(w_.data[K1], w_.data[K2]);
        double *y = y_, *y1 = w_[Y1];
        for_range(n_, [&](std::size_t begin, std::size_t end) { std::copy(y1 + begin, y1 + end, y + begin); });
        return 0;
    }

private:
    enum { K1, K2, K3, K4, K5, K6, Y1, YSTI };
};

}  // namespace

IntegrationStats integrate_dop853(OdeSystem &f, std::size_t n, double t0, double t1, double *y,
                                  const StepControl &control, runtime::Poller *poll, const StepObserver *after_step) {
    Dop853 method(f, n, y, control, poll);
    return drive(method, kDop853, n, t0, t1, control, after_step);
}

IntegrationStats integrate_dopri5(OdeSystem &f, std::size_t n, double t0, double t1, double *y,
                                  const StepControl &control, runtime::Poller *poll, const StepObserver *after_step) {
    Dopri5 method(f, n, y, control, poll);
    return drive(method, kDopri5, n, t0, t1, control, after_step);
}

}  // namespace analog
