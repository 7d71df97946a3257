// The rigid body behind each simulated motor and the torque laws that drive
// it: the MIT impedance law and the firmware's inner loops of the other modes.
#pragma once

namespace velkarin::sim {

struct BodyParams {
    double inertia;       // kg m^2
    double damping;       // N m s / rad
    double torque_limit;  // N m; every law's output is clamped to it
};

struct BodyState {
    double position = 0.0;  // rad
    double velocity = 0.0;  // rad/s
    double torque = 0.0;    // N m applied during the last step
};

// A torque law that is affine in the state at the end of the step:
//   torque = offset - stiffness * position - damping * velocity, |torque| <= limit.
// Solving it implicitly (backward Euler) keeps a stiff MIT loop stable at any
// step rate, whatever gains the user sends.
struct LinearLaw {
    double offset = 0.0;
    double stiffness = 0.0;
    double damping = 0.0;
    double limit = 0.0;
};

// Advances `s` by `dt` seconds under `law`. With the unclamped torque inside
// the limit the step is implicit in position and velocity; beyond it the
// clamped torque is applied and only the body's own damping stays implicit.
void step(BodyState& s, const BodyParams& body, const LinearLaw& law, double dt);

// No torque: the motor is disabled (or has nothing to do) and coasts.
LinearLaw coast();

// MIT: kp * (q - p) + kd * (dq - v) + tau.
LinearLaw mit_law(double q, double dq, double kp, double kd, double tau, double limit);

// The firmware's velocity loop: proportional with a feed-forward of the
// body's own damping, so a steady speed is held without an integrator.
LinearLaw velocity_law(const BodyParams& body, double v_ref, double limit);

// The position loop of POS_VEL and FORCE_POS: a proportional position loop
// whose speed demand is capped at `v_limit`, feeding the velocity loop. The
// outer loop is evaluated at the present position (it is slow), the inner
// loop implicitly.
LinearLaw position_law(const BodyParams& body, double position, double p_ref, double v_limit,
                       double limit);

// Bandwidths of the two inner loops, rad/s.
inline constexpr double kVelocityLoopBandwidth = 150.0;
inline constexpr double kPositionLoopGain = 20.0;

}  // namespace velkarin::sim
