// The text of a MitLimits.
#include "damiao/mit/limits_text.hpp"

#include "damiao/text/float_text.hpp"

namespace velkarin::damiao::mit {

std::string limits_text(const MitLimits& l) {
    using float_text::shortest;
    return "MitLimits(p_max=" + shortest(l.p_max) + ", v_max=" + shortest(l.v_max) +
           ", kp_max=" + shortest(l.kp_max) + ", kd_max=" + shortest(l.kd_max) +
           ", t_max=" + shortest(l.t_max) + ")";
}

}  // namespace velkarin::damiao::mit
