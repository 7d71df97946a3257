"""velkarin_ros2: the motors of a velkarin MotorGroup as a ROS 2 node (`velkarin-ros2 CONFIG.yaml`).

It publishes `joint_states` every tick, takes `joint_commands` (both sensor_msgs/JointState, the
topics a topic-based ros2_control system uses), keeps the gains as parameters, serves enable,
disable, set_zero and clear_error, and reports on `diagnostics`. Needs the `ros2` extra."""
