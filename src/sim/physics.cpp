// Backward-Euler integration of one rigid body under an affine torque law.
#include "sim/physics.hpp"

#include <algorithm>
#include <cmath>

namespace velkarin::sim {

void step(BodyState& s, const BodyParams& body, const LinearLaw& law, double dt) {
    // J (v' - v) / dt = tau - b v',  p' = p + dt v',  tau = c - K p' - D v'.
    const double momentum = body.inertia * s.velocity / dt;
    const double free_v = (momentum + law.offset - law.stiffness * s.position) /
                          (body.inertia / dt + body.damping + law.damping + law.stiffness * dt);
    double torque = law.offset - law.stiffness * (s.position + dt * free_v) - law.damping * free_v;
    double v = free_v;
    if (std::fabs(torque) > law.limit) {
        torque = std::copysign(law.limit, torque);
        v = (momentum + torque) / (body.inertia / dt + body.damping);
    }
    s.velocity = v;
    s.position += dt * v;
    s.torque = torque;
}

LinearLaw coast() { return {}; }

LinearLaw mit_law(double q, double dq, double kp, double kd, double tau, double limit) {
    return {kp * q + kd * dq + tau, kp, kd, limit};
}

LinearLaw velocity_law(const BodyParams& body, double v_ref, double limit) {
    const double gain = body.inertia * kVelocityLoopBandwidth;
    return {(gain + body.damping) * v_ref, 0.0, gain, limit};
}

LinearLaw position_law(const BodyParams& body, double position, double p_ref, double v_limit,
                       double limit) {
    const double cap = std::fabs(v_limit);
    const double v_ref = std::clamp(kPositionLoopGain * (p_ref - position), -cap, cap);
    return velocity_law(body, v_ref, limit);
}

}  // namespace velkarin::sim
